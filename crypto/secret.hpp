// SecretString: a passphrase copy that is overwritten with zeros when it is
// destroyed or moved from.
#pragma once

#include <sodium.h>

#include <string>
#include <string_view>
#include <utility>

namespace zarv {

class SecretString {
 public:
  SecretString() = default;
  SecretString(const char* data, size_t size) : s_(data, size) {}
  explicit SecretString(std::string_view v) : s_(v) {}
  SecretString(const SecretString& o) : s_(o.s_) {}
  SecretString(SecretString&& o) noexcept : s_(o.s_) { o.wipe(); }
  SecretString& operator=(const SecretString& o) {
    if (this != &o) {
      wipe();
      s_ = o.s_;
    }
    return *this;
  }
  SecretString& operator=(SecretString&& o) noexcept {
    if (this != &o) {
      wipe();
      s_ = o.s_;
      o.wipe();
    }
    return *this;
  }
  ~SecretString() { wipe(); }

  std::string_view view() const { return s_; }
  size_t size() const { return s_.size(); }

 private:
  // Zeroes the whole buffer, small-string storage included.
  void wipe() {
    if (s_.capacity()) sodium_memzero(s_.data(), s_.capacity());
    s_.clear();
  }
  std::string s_;
};

}  // namespace zarv
