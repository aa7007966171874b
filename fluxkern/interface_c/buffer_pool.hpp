// Output buffers that keep their pages between calls.
//
// The entry points fill large output buffers (the triplet lists of a matrix
// hold 16 bytes per entry, hundreds of megabytes on real meshes) and a
// Newton loop asks for the same sizes again and again.  Fresh memory from the
// system is zero-filled page by page on first touch, which costs as much as
// a good part of the assembly itself.  The pool keeps released blocks and
// hands them out again; a block that no call takes within a few calls goes
// back to the system, and the pool never keeps more than 1 GiB.
//
// Used under the global interpreter lock only (a block comes back when the
// NumPy array that owns it is deallocated).  The one pool is part of the
// process state (state.hpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace fluxkern {

class BufferPool {
public:
    // A block of at least `bytes` bytes (64-byte aligned), or nullptr.
    void* acquire(std::size_t bytes, std::size_t& capacity);

    // Gives a block back (capacity as returned by acquire).
    void release(void* block, std::size_t capacity) noexcept;

    // Ends a call: frees the blocks that no call took for a while.
    void end_call() noexcept;

private:
    struct Kept {
        void* block;
        std::size_t capacity;
        std::uint64_t released_in;  // the call count at the release
    };
    void drop(std::size_t k) noexcept;

    std::vector<Kept> kept_;  // oldest first
    std::size_t kept_bytes_ = 0;
    std::uint64_t calls_ = 0;
};

}  // namespace fluxkern
