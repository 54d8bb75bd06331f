// A byte queue for input that may hold PINs and passwords: every byte it
// lets go of (consumed, or left behind when it grows) is wiped first.
#ifndef VARDEK_AGENT_SECRET_BUFFER_H
#define VARDEK_AGENT_SECRET_BUFFER_H

#include <cstddef>
#include <cstdint>
#include <memory>

namespace vardek::agent {

class SecretBuffer {
 public:
  SecretBuffer() = default;
  SecretBuffer(const SecretBuffer &) = delete;
  SecretBuffer &operator=(const SecretBuffer &) = delete;
  SecretBuffer(SecretBuffer &&) = default;
  SecretBuffer &operator=(SecretBuffer &&) = default;
  ~SecretBuffer() { clear(); }

  const uint8_t *data() const { return data_.get(); }
  size_t size() const { return len_; }
  // Room for `n` more bytes at the end; commit() what was written there.
  uint8_t *reserve(size_t n);
  void commit(size_t n) { len_ += n; }
  // Drops the first `n` bytes.
  void consume(size_t n);
  void clear();

 private:
  std::unique_ptr<uint8_t[]> data_;
  size_t cap_ = 0;
  size_t len_ = 0;
};

}  // namespace vardek::agent

#endif
