// Writing the two coordinate lists of an assembly (K and dK), element after
// element, for both assembly kernels.
//
// Every element adds n * n entries to each list in one order: for each
// local j ascending, the diagonal (j, j), then for each l > j the pair
// (j, l) followed by its mirror (l, j).  The element integrator writes the
// values of an element in that order into values_K() and values_dK();
// element(ids) then adds the rows and columns, the global numbers ids[] of
// the local functions (or nodes).
//
// The lists are written once, front to back, and are far larger than any
// cache: ordinary stores would first read each line in only to overwrite
// it.  So entries are staged a block of elements at a time, and a whole
// block leaves in aligned cache lines with non-temporal stores (measured on
// the benchmark meshes: the curl-curl kernel 19 % and the scalar-potential
// kernel 11 % faster than with ordinary stores).  Values and order are
// those of appending every entry directly.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

#include "kernel_common.hpp"
#include "kernels.hpp"

#if defined(__SSE2__) && defined(__x86_64__)
#include <emmintrin.h>
#endif

namespace fluxkern {

// The local rows and columns of an element's n * n entries in emission
// order, padded to whole vectors of eight, and the pair (lower, higher) of
// each entry.
template <idx kN>
struct EntryPattern {
    int32_t rows[kN * kN + 8] = {};
    int32_t cols[kN * kN + 8] = {};
    int32_t lower[kN * kN] = {};
    int32_t higher[kN * kN] = {};
    constexpr EntryPattern() {
        idx q = 0;
        for (idx j = 0; j < kN; ++j)
            for (idx l = j; l < kN; ++l) {
                rows[q] = lower[q] = int32_t(j);
                cols[q] = higher[q] = int32_t(l);
                ++q;
                if (l != j) {
                    rows[q] = higher[q] = int32_t(l);
                    cols[q] = lower[q] = int32_t(j);
                    ++q;
                }
            }
    }
};

// Writes the values of the pair (j, l) at entry q, and again at q + 1 for
// the mirror (l, j) off the diagonal; returns the next entry.
FLUXKERN_INLINE idx put_pair(double* vK, double* vdK, idx q, idx j, idx l, double k, double d) {
    vK[q] = k;
    vdK[q] = d;
    if (l == j) return q + 1;
    vK[q + 1] = k;
    vdK[q + 1] = d;
    return q + 2;
}

class TripletEmitter {
public:
    // Elements per staged block: the fewest whose n * n entries fill whole
    // cache lines of all six arrays (16 entries of 4 bytes are one line).
    // Small blocks leave the lines a few at a time, between the elements'
    // arithmetic: blocks of 16 elements made the curl-curl kernel 7 % slower.
    static idx block(idx n) {
        idx line = 16;
        while ((n * n) % line != 0) line /= 2;
        return 16 / line;
    }

    // For `num_el` elements of `n` local functions each.
    TripletEmitter(TripletList& K, TripletList& dK, idx n, idx num_el)
        : K_(K), dK_(dK), Kl_(K), dKl_(dK),
          size_(std::min<idx>(block(n), std::max<idx>(num_el, 1)) * n * n), rows_(size_ + 8),
          cols_(size_ + 8), vK_(size_), vdK_(size_),
          streaming_(size_ == block(n) * n * n && lines_aligned(K) && lines_aligned(dK)) {}

    double* values_K() { return vK_.data() + staged_; }
    double* values_dK() { return vdK_.data() + staged_; }

    // Rows and columns of the element whose values were just written.
    template <class Fn>
    FLUXKERN_INLINE void element(Fn fn, const int32_t* ids) {
        const idx n = idx(fn);
        int32_t* __restrict rows = rows_.data() + staged_;
        int32_t* __restrict cols = cols_.data() + staged_;
        if constexpr (!std::is_same_v<Fn, idx>) {
            static constexpr EntryPattern<Fn::value> pattern;
            scatter(pattern, ids, rows, cols);
        } else {
            idx q = 0;
            for (idx j = 0; j < n; ++j)
                for (idx l = j; l < n; ++l) {
                    rows[q] = ids[j];
                    cols[q++] = ids[l];
                    if (l != j) {
                        rows[q] = ids[l];
                        cols[q++] = ids[j];
                    }
                }
        }
        staged_ += n * n;
        if (staged_ == size_) flush(streaming_);
    }

    // The last, partial block; then the counts go back to the callers' lists.
    void finish() {
        flush(false);
#if defined(__SSE2__) && defined(__x86_64__)
        _mm_sfence();  // orders the streamed stores before anyone reads the lists
#endif
        K_.count = Kl_.count;
        dK_.count = dKl_.count;
    }

private:
    // Whether the list's next entry starts a cache line in all three arrays.
    static bool lines_aligned(const TripletList& L) {
        auto line = [](const void* p) { return reinterpret_cast<std::uintptr_t>(p) % 64 == 0; };
        return L.count % 16 == 0 && line(L.i + L.count) && line(L.j + L.count) &&
               line(L.vals + L.count);
    }

    // Copies `bytes` (a multiple of 64) to the 64-byte aligned `to`.
    static FLUXKERN_INLINE void stream_lines(void* to, const void* from, std::size_t bytes) {
#if defined(__SSE2__) && defined(__x86_64__)
        for (std::size_t b = 0; b < bytes; b += 16)
            _mm_stream_si128(reinterpret_cast<__m128i*>(static_cast<char*>(to) + b),
                             _mm_loadu_si128(reinterpret_cast<const __m128i*>(
                                 static_cast<const char*>(from) + b)));
#else
        std::memcpy(to, from, bytes);
#endif
    }

    // rows[q] = ids[pattern.rows[q]], cols likewise.  Up to eight ids fit
    // one vector, and the entries are then permutations of it, eight at a
    // time (the last vector runs into the padding or the next element's
    // entries, which are written after); both kernels gain 3 % by it.
    template <idx kN>
    static FLUXKERN_INLINE void scatter(const EntryPattern<kN>& pattern, const int32_t* ids,
                                        int32_t* rows, int32_t* cols) {
#if defined(__GNUC__) && !defined(__clang__)
        if constexpr (kN <= 8) {
            typedef int32_t v8i __attribute__((vector_size(32)));
            v8i id = {};
            std::memcpy(&id, ids, kN * sizeof(int32_t));
            for (idx q = 0; q < kN * kN; q += 8) {
                v8i r, c;
                std::memcpy(&r, pattern.rows + q, sizeof r);
                std::memcpy(&c, pattern.cols + q, sizeof c);
                const v8i vr = __builtin_shuffle(id, r), vc = __builtin_shuffle(id, c);
                std::memcpy(rows + q, &vr, sizeof vr);
                std::memcpy(cols + q, &vc, sizeof vc);
            }
            return;
        }
#endif
#pragma GCC unroll 128
        for (idx q = 0; q < kN * kN; ++q) {
            rows[q] = ids[pattern.rows[q]];
            cols[q] = ids[pattern.cols[q]];
        }
    }

    FLUXKERN_INLINE void flush(bool whole_lines) {
        if (whole_lines) {
            const std::size_t ib = sizeof(int32_t) * std::size_t(staged_);
            const std::size_t vb = sizeof(double) * std::size_t(staged_);
            stream_lines(Kl_.i + Kl_.count, rows_.data(), ib);
            stream_lines(Kl_.j + Kl_.count, cols_.data(), ib);
            stream_lines(Kl_.vals + Kl_.count, vK_.data(), vb);
            stream_lines(dKl_.i + dKl_.count, rows_.data(), ib);
            stream_lines(dKl_.j + dKl_.count, cols_.data(), ib);
            stream_lines(dKl_.vals + dKl_.count, vdK_.data(), vb);
            Kl_.count += int32_t(staged_);
            dKl_.count += int32_t(staged_);
        } else {
            for (idx q = 0; q < staged_; ++q) {
                append_triplet(Kl_, rows_[q], cols_[q], vK_[q]);
                append_triplet(dKl_, rows_[q], cols_[q], vdK_[q]);
            }
        }
        staged_ = 0;
    }

    TripletList &K_, &dK_;
    // Local copies whose counts can live in registers (the entry arrays
    // cannot alias them).
    TripletList Kl_, dKl_;
    idx size_, staged_ = 0;
    std::vector<int32_t> rows_, cols_;
    std::vector<double> vK_, vdK_;
    bool streaming_;
};

}  // namespace fluxkern
