#include "agent/secret_buffer.h"

#include <cstring>

namespace vardek::agent {

uint8_t *SecretBuffer::reserve(size_t n) {
  if (cap_ - len_ < n) {
    size_t cap = cap_ == 0 ? 4096 : cap_;
    while (cap - len_ < n) cap *= 2;
    std::unique_ptr<uint8_t[]> grown(new uint8_t[cap]);
    size_t len = len_;
    if (len != 0) memcpy(grown.get(), data_.get(), len);
    clear();
    data_ = std::move(grown);
    cap_ = cap;
    len_ = len;
  }
  return data_.get() + len_;
}

void SecretBuffer::consume(size_t n) {
  if (n >= len_) {
    explicit_bzero(data_.get(), len_);
    len_ = 0;
    return;
  }
  memmove(data_.get(), data_.get() + n, len_ - n);
  explicit_bzero(data_.get() + len_ - n, n);
  len_ -= n;
}

void SecretBuffer::clear() {
  if (data_) explicit_bzero(data_.get(), cap_);
  data_.reset();
  cap_ = 0;
  len_ = 0;
}

}  // namespace vardek::agent
