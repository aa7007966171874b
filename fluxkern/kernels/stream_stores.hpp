// Writing the triplet lists past the cache.
//
// The element loops write their lists once, front to back, and the lists
// are far larger than any cache: ordinary stores first read each line in
// only to overwrite it.  Whole, aligned cache lines stored with
// non-temporal stores skip that read.  Values and order are unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kernels.hpp"

#if defined(__SSE2__) && defined(__x86_64__)
#include <emmintrin.h>
#endif

namespace fluxkern {

// Copies `bytes` (a multiple of 64) from `from` to the 64-byte aligned `to`.
inline void stream_lines(void* to, const void* from, std::size_t bytes) {
#if defined(__SSE2__) && defined(__x86_64__)
    for (std::size_t b = 0; b < bytes; b += 16)
        _mm_stream_si128(reinterpret_cast<__m128i*>(static_cast<char*>(to) + b),
                         _mm_loadu_si128(reinterpret_cast<const __m128i*>(
                             static_cast<const char*>(from) + b)));
#else
    std::memcpy(to, from, bytes);
#endif
}

// Whether the list's next entry starts a cache line in all three arrays, so
// that blocks of 16 entries fill whole lines.
inline bool lines_aligned(const TripletList& L) {
    auto line = [](const void* p) { return reinterpret_cast<std::uintptr_t>(p) % 64 == 0; };
    return L.count % 16 == 0 && line(L.i + L.count) && line(L.j + L.count) &&
           line(L.vals + L.count);
}

// Orders the streamed stores before anyone reads the lists.
inline void end_streaming() {
#if defined(__SSE2__) && defined(__x86_64__)
    _mm_sfence();
#endif
}

}  // namespace fluxkern
