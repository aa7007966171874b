// The output-buffer pool.
#include "buffer_pool.hpp"

#include <cstdint>
#include <cstdlib>
#include <new>

namespace fluxkern {

namespace {

constexpr std::size_t kAlignment = 64;
// Small buffers come from malloc's own free lists at no page cost.
constexpr std::size_t kMinPooled = std::size_t{1} << 20;
// At most this many blocks and bytes are kept, the oldest going first.
constexpr std::size_t kMaxKept = 32;
constexpr std::size_t kMaxKeptBytes = std::size_t{1} << 30;
// A block that no call took within this many calls goes back to the system
// (a Newton step may call once per material region, and evaluate fields).
constexpr std::uint64_t kCallsKept = 8;

std::size_t round_up(std::size_t bytes) {
    return (bytes + kAlignment - 1) / kAlignment * kAlignment;
}

}  // namespace

void BufferPool::drop(std::size_t k) noexcept {
    std::free(kept_[k].block);
    kept_bytes_ -= kept_[k].capacity;
    kept_.erase(kept_.begin() + static_cast<std::ptrdiff_t>(k));
}

void* BufferPool::acquire(std::size_t bytes, std::size_t& capacity) {
    if (bytes == 0) bytes = 1;
    if (bytes > SIZE_MAX - kAlignment) return nullptr;
    if (bytes >= kMinPooled) {
        // The smallest kept block that fits and wastes at most an eighth, so
        // that a request does not take a block made for a larger one.
        std::size_t best = kept_.size();
        for (std::size_t k = 0; k < kept_.size(); ++k) {
            const std::size_t c = kept_[k].capacity;
            if (c >= bytes && c - bytes <= bytes / 8 &&
                (best == kept_.size() || c < kept_[best].capacity))
                best = k;
        }
        if (best != kept_.size()) {
            void* block = kept_[best].block;
            capacity = kept_[best].capacity;
            kept_bytes_ -= capacity;
            kept_.erase(kept_.begin() + static_cast<std::ptrdiff_t>(best));
            return block;
        }
    }
    capacity = round_up(bytes);
    return std::aligned_alloc(kAlignment, capacity);
}

void BufferPool::release(void* block, std::size_t capacity) noexcept {
    if (block == nullptr) return;
    if (capacity < kMinPooled || capacity > kMaxKeptBytes) {
        std::free(block);
        return;
    }
    try {
        kept_.push_back(Kept{block, capacity, calls_});
    } catch (const std::bad_alloc&) {
        std::free(block);
        return;
    }
    kept_bytes_ += capacity;
    while (kept_.size() > kMaxKept || kept_bytes_ > kMaxKeptBytes) drop(0);
}

void BufferPool::end_call() noexcept {
    ++calls_;
    for (std::size_t k = kept_.size(); k-- > 0;)
        if (kept_[k].released_in + kCallsKept < calls_) drop(k);
}

}  // namespace fluxkern
