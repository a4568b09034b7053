// block_cache.cpp: per-thread lists of free blocks by power-of-two size class.
#include "core/block_cache.hpp"

#include <array>
#include <bit>

namespace tarn::block_cache {
namespace {

constexpr unsigned smallest_class = 15;  // 32 KiB: below it the system allocator does well
constexpr unsigned largest_class = 25;   // 32 MiB, the whole limit in one block
constexpr std::size_t blocks_per_class = 4;

// The class of a request: the exponent of the power of two that holds it, or
// 0 for a request served directly, too small or too large to keep.
unsigned size_class(std::size_t bytes) noexcept {
    if (bytes <= (std::size_t{1} << (smallest_class - 1))) return 0;
    const unsigned exponent = static_cast<unsigned>(std::bit_width(bytes - 1));
    return exponent <= largest_class ? exponent : 0;
}

std::size_t class_bytes(unsigned size_class) noexcept { return std::size_t{1} << size_class; }

class ThreadCache {
public:
    ThreadCache() = default;
    ThreadCache(const ThreadCache&) = delete;
    ThreadCache& operator=(const ThreadCache&) = delete;
    ~ThreadCache() {
        release_all();
        gone = true;
    }

    void* take(unsigned size_class) noexcept {
        Shelf& shelf = shelves_[size_class];
        if (shelf.count == 0) return nullptr;
        cached_bytes_ -= class_bytes(size_class);
        return shelf.blocks[--shelf.count];
    }

    // Whether the block was kept; otherwise the caller frees it. The newest
    // blocks are the likeliest to be asked for again, so room is made for
    // them by freeing kept blocks, the largest first.
    bool keep(void* block, unsigned size_class) noexcept {
        Shelf& shelf = shelves_[size_class];
        const std::size_t bytes = class_bytes(size_class);
        if (shelf.count == blocks_per_class) return false;
        for (unsigned c = largest_class; cached_bytes_ + bytes > cached_bytes_limit; --c) {
            while (cached_bytes_ + bytes > cached_bytes_limit) {
                void* evicted = take(c);
                if (!evicted) break;
                ::operator delete(evicted, alignment);
            }
        }
        shelf.blocks[shelf.count++] = block;
        cached_bytes_ += bytes;
        return true;
    }

    void release_all() noexcept {
        for (unsigned c = 0; c < shelves_.size(); ++c) {
            while (void* block = take(c)) ::operator delete(block, alignment);
        }
    }

    std::size_t cached_bytes() const noexcept { return cached_bytes_; }

    // Set once this thread's cache has been destroyed: blocks released later
    // in the thread's exit go straight back to the system.
    static thread_local bool gone;

private:
    struct Shelf {
        std::array<void*, blocks_per_class> blocks{};
        std::size_t count = 0;
    };
    std::array<Shelf, largest_class + 1> shelves_{};
    std::size_t cached_bytes_ = 0;
};

thread_local bool ThreadCache::gone = false;

ThreadCache* this_threads_cache() noexcept {
    if (ThreadCache::gone) return nullptr;
    thread_local ThreadCache cache;
    return &cache;
}

}  // namespace

void* allocate(std::size_t bytes) {
    const unsigned size_class = block_cache::size_class(bytes);
    if (size_class == 0) return ::operator new(bytes, alignment);
    ThreadCache* cache = this_threads_cache();
    if (cache) {
        if (void* block = cache->take(size_class)) return block;
    }
    try {
        return ::operator new(class_bytes(size_class), alignment);
    } catch (const std::bad_alloc&) {
        // What this thread keeps may be just what is missing.
        if (!cache || cache->cached_bytes() == 0) throw;
        cache->release_all();
        return ::operator new(class_bytes(size_class), alignment);
    }
}

void release(void* block, std::size_t bytes) noexcept {
    if (block == nullptr) return;
    const unsigned size_class = block_cache::size_class(bytes);
    if (size_class != 0) {
        ThreadCache* cache = this_threads_cache();
        if (cache && cache->keep(block, size_class)) return;
    }
    ::operator delete(block, alignment);
}

std::size_t cached_bytes() noexcept {
    const ThreadCache* cache = this_threads_cache();
    return cache ? cache->cached_bytes() : 0;
}

}  // namespace tarn::block_cache
