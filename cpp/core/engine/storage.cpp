#include "core/engine/storage.hpp"

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <new>

namespace zelka::engine {
namespace {

// The released blocks kept for reuse, by size; shared by every thread.
class KeptBlocks {
 public:
  // A kept block of exactly `bytes`, taken out of the pool, or null.
  void* take(std::size_t bytes) {
    const std::lock_guard lock(mutex_);
    auto it = blocks_.find(bytes);
    if (it == blocks_.end()) return nullptr;
    void* block = it->second;
    blocks_.erase(it);
    total_ -= bytes;
    return block;
  }

  // Keeps `block` when there is room for it; false when the caller is to free it.
  bool keep(void* block, std::size_t bytes) {
    const std::lock_guard lock(mutex_);
    if (total_ + bytes > kept_total_bytes) return false;
    blocks_.emplace(bytes, block);
    total_ += bytes;
    return true;
  }

 private:
  std::mutex mutex_;
  std::multimap<std::size_t, void*> blocks_;
  std::size_t total_ = 0;
};

// Never destroyed: storage released while the process exits may still reach it.
KeptBlocks& kept_blocks() {
  static KeptBlocks* blocks = new KeptBlocks;
  return *blocks;
}

}  // namespace

Storage::Storage(std::size_t bytes, Contents contents) {
  const std::size_t rounded = bytes == 0 ? 64 : (bytes + 63) / 64 * 64;
  const bool keepable = rounded >= kept_block_bytes;
  void* p = keepable ? kept_blocks().take(rounded) : nullptr;
  if (!p) p = std::aligned_alloc(64, rounded);
  if (!p) throw std::bad_alloc();
  if (contents == Contents::zeros) std::memset(p, 0, rounded);
  data_ = std::unique_ptr<std::byte, Release>(static_cast<std::byte*>(p), Release{rounded});
}

void Storage::Release::operator()(std::byte* p) const {
  if (bytes >= kept_block_bytes && kept_blocks().keep(p, bytes)) return;
  std::free(p);
}

}  // namespace zelka::engine
