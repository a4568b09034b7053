// block_cache.hpp: large blocks of memory kept per thread and handed out again.
#pragma once

#include <cstddef>
#include <new>
#include <vector>

namespace tarn {

// Storage for the planner's large arrays. Returning a block of many pages to
// the system and taking it back on the next call costs a page fault for every
// page written again, which can outweigh the work done in it. Requests of
// more than 16 KiB and up to 32 MiB are therefore served in power-of-two size
// classes (blocks of 32 KiB to 32 MiB), and released blocks are kept, per
// thread, up to four a class and `cached_bytes_limit` bytes in all, for the
// next request of the same class to take back; other requests go straight to
// the system. A block may be released on any thread. Whatever is kept is
// freed when the thread ends, and at once when a request cannot be met
// otherwise.
namespace block_cache {

inline constexpr std::size_t cached_bytes_limit = std::size_t{32} << 20;
inline constexpr std::align_val_t alignment{64};  // a cache line: enough for every user

// `bytes` or more, aligned to `alignment`; throws std::bad_alloc.
void* allocate(std::size_t bytes);
// A block from allocate(bytes), given back.
void release(void* block, std::size_t bytes) noexcept;
// The bytes this thread keeps now; for tests.
std::size_t cached_bytes() noexcept;

}  // namespace block_cache

// A standard allocator over the block cache.
template <class T>
struct CachedAllocator {
    static_assert(alignof(T) <= static_cast<std::size_t>(block_cache::alignment));
    using value_type = T;

    CachedAllocator() noexcept = default;
    template <class U>
    CachedAllocator(const CachedAllocator<U>&) noexcept {}  // NOLINT(google-explicit-constructor)

    T* allocate(std::size_t count) {
        if (count > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
        return static_cast<T*>(block_cache::allocate(count * sizeof(T)));
    }
    void deallocate(T* block, std::size_t count) noexcept {
        block_cache::release(block, count * sizeof(T));
    }

    friend bool operator==(const CachedAllocator&, const CachedAllocator&) noexcept { return true; }
};

template <class T>
using CachedVector = std::vector<T, CachedAllocator<T>>;

}  // namespace tarn
