// A fixed-size buffer for a PIN: never reallocated, never copied, wiped when
// it goes away.
#ifndef VARDEK_CLIENT_SECRET_H
#define VARDEK_CLIENT_SECRET_H

#include <cstddef>
#include <string_view>

namespace vardek::client {

class Secret {
 public:
  static constexpr size_t capacity = 1024;

  Secret() = default;
  Secret(const Secret &) = delete;
  Secret &operator=(const Secret &) = delete;
  ~Secret() { wipe(); }

  // Replaces the contents; false (and empty) when `n` exceeds the capacity.
  bool assign(const char *p, size_t n);
  // Room to read into directly; set_size() then says how much is valid.
  char *data() { return buf_; }
  void set_size(size_t n) { len_ = n < capacity ? n : capacity; }
  std::string_view view() const { return {buf_, len_}; }
  bool empty() const { return len_ == 0; }
  void wipe();

 private:
  char buf_[capacity] = {};
  size_t len_ = 0;
};

}  // namespace vardek::client

#endif
