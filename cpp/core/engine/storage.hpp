// Owned, 64-byte aligned storage for values the engine keeps for a call.
#pragma once

#include <cstddef>
#include <memory>

namespace zelka::engine {

// Blocks of at least `kept_block_bytes` are not returned to the system when released but
// kept (up to `kept_total_bytes` in all) for the next storage of the same size: a process
// that runs call after call on the same network and batch size writes into pages that are
// already mapped, instead of taking a page fault for every page of every call (in a virtual
// machine a fault costs microseconds; a batch's buffers are hundreds of pages).
inline constexpr std::size_t kept_block_bytes = std::size_t{64} << 10;
inline constexpr std::size_t kept_total_bytes = std::size_t{64} << 20;

class Storage {
 public:
  enum class Contents { zeros, unset };

  Storage() = default;
  // `bytes` of zeros, or left unset for a caller that writes them all.
  explicit Storage(std::size_t bytes, Contents contents = Contents::zeros);
  void* data() const { return data_.get(); }

 private:
  struct Release {
    std::size_t bytes;  // as allocated (a multiple of 64)
    void operator()(std::byte* p) const;
  };
  std::unique_ptr<std::byte, Release> data_;
};

}  // namespace zelka::engine
