// The output-buffer pool.
#include "buffer_pool.hpp"

#include <cstdint>
#include <cstdlib>
#include <new>
#include <vector>

namespace fluxkern::buffer_pool {

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

struct Kept {
    void* block;
    std::size_t capacity;
    std::uint64_t released_in;  // the call count at the release
};

std::vector<Kept> kept;  // oldest first
std::size_t kept_bytes = 0;
std::uint64_t calls = 0;

std::size_t round_up(std::size_t bytes) {
    return (bytes + kAlignment - 1) / kAlignment * kAlignment;
}

void drop(std::size_t k) noexcept {
    std::free(kept[k].block);
    kept_bytes -= kept[k].capacity;
    kept.erase(kept.begin() + static_cast<std::ptrdiff_t>(k));
}

}  // namespace

void* acquire(std::size_t bytes, std::size_t& capacity) {
    if (bytes == 0) bytes = 1;
    if (bytes > SIZE_MAX - kAlignment) return nullptr;
    if (bytes >= kMinPooled) {
        // The smallest kept block that fits and wastes at most an eighth, so
        // that a request does not take a block made for a larger one.
        std::size_t best = kept.size();
        for (std::size_t k = 0; k < kept.size(); ++k) {
            const std::size_t c = kept[k].capacity;
            if (c >= bytes && c - bytes <= bytes / 8 &&
                (best == kept.size() || c < kept[best].capacity))
                best = k;
        }
        if (best != kept.size()) {
            void* block = kept[best].block;
            capacity = kept[best].capacity;
            kept_bytes -= capacity;
            kept.erase(kept.begin() + static_cast<std::ptrdiff_t>(best));
            return block;
        }
    }
    capacity = round_up(bytes);
    return std::aligned_alloc(kAlignment, capacity);
}

void release(void* block, std::size_t capacity) noexcept {
    if (block == nullptr) return;
    if (capacity < kMinPooled || capacity > kMaxKeptBytes) {
        std::free(block);
        return;
    }
    try {
        kept.push_back(Kept{block, capacity, calls});
    } catch (const std::bad_alloc&) {
        std::free(block);
        return;
    }
    kept_bytes += capacity;
    while (kept.size() > kMaxKept || kept_bytes > kMaxKeptBytes) drop(0);
}

void end_call() noexcept {
    ++calls;
    for (std::size_t k = kept.size(); k-- > 0;)
        if (kept[k].released_in + kCallsKept < calls) drop(k);
}

}  // namespace fluxkern::buffer_pool
