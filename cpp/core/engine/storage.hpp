// Owned, 64-byte aligned storage for values the engine keeps for a call.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

namespace zelka::engine {

class Storage {
 public:
  enum class Contents { zeros, unset };

  Storage() = default;
  // `bytes` of zeros, or left unset for a caller that writes them all.
  explicit Storage(std::size_t bytes, Contents contents = Contents::zeros) {
    const std::size_t rounded = (bytes + 63) / 64 * 64;
    void* p = std::aligned_alloc(64, rounded == 0 ? 64 : rounded);
    if (!p) throw std::bad_alloc();
    if (contents == Contents::zeros) std::memset(p, 0, rounded == 0 ? 64 : rounded);
    data_.reset(static_cast<std::byte*>(p));
  }
  void* data() const { return data_.get(); }

 private:
  struct Free {
    void operator()(std::byte* p) const { std::free(p); }
  };
  std::unique_ptr<std::byte, Free> data_;
};

}  // namespace zelka::engine
