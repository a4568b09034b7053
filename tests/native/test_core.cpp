// test_core.cpp: the core layer: fault reports and the block cache.
#include <cstddef>
#include <cstdint>
#include <thread>
#include <vector>

#include "check.hpp"
#include "core/block_cache.hpp"
#include "core/fault.hpp"

using namespace tarn;

// ---- Fault reports ----

TEST_CASE("fault reports name sources from the project root with '/', from any build") {
    struct Case {
        const char* path;
        const char* root;
        const char* expected;
    };
    const Case cases[] = {
        {"/home/dev/tarn/src/core/fault.cpp", "/home/dev/tarn/", "src/core/fault.cpp"},
        {"C:\\dev\\tarn\\src\\planning\\random.cpp", "C:/dev/tarn/", "src/planning/random.cpp"},
        {"c:\\Dev\\Tarn\\src\\lib.cpp", "C:/dev/tarn/", "src/lib.cpp"},
        {"src\\binding\\module.cpp", "", "src/binding/module.cpp"},
        {"/usr/include/c++/12/bits/stl_vector.h", "/home/dev/tarn/",
         "/usr/include/c++/12/bits/stl_vector.h"},
    };
    for (const Case& c : cases) CHECK_EQ(relative_source_path(c.path, c.root), c.expected);
}

// ---- Block cache ----

TEST_CASE("released large blocks come back for their size class, within the cache's limit") {
    namespace cache = tarn::block_cache;
    const auto aligned = [](void* block) {
        return reinterpret_cast<std::uintptr_t>(block) %
                   static_cast<std::size_t>(cache::alignment) ==
               0;
    };
    cache::release(cache::allocate(1000), 1000);  // too small to keep
    CHECK_EQ(cache::cached_bytes(), std::size_t{0});

    void* block = cache::allocate(100'000);
    CHECK(aligned(block));
    cache::release(block, 100'000);
    CHECK_EQ(cache::cached_bytes(), std::size_t{1} << 17);
    void* same_class = cache::allocate(70'000);
    CHECK(same_class == block);
    CHECK_EQ(cache::cached_bytes(), std::size_t{0});

    // Past the limit, room is made for the newest block.
    const std::size_t half = cache::cached_bytes_limit / 2;
    std::vector<void*> halves;
    for (int i = 0; i < 3; ++i) halves.push_back(cache::allocate(half));
    for (void* h : halves) cache::release(h, half);
    CHECK_EQ(cache::cached_bytes(), cache::cached_bytes_limit);
    cache::release(same_class, 70'000);
    CHECK(cache::cached_bytes() <= cache::cached_bytes_limit);
    CHECK(cache::allocate(70'000) == same_class);
    cache::release(same_class, 70'000);

    // A block released on another thread joins that thread's cache, which
    // frees it when the thread ends.
    void* moved = cache::allocate(half);
    std::thread([&] {
        cache::release(moved, half);
        CHECK_EQ(cache::cached_bytes(), half);
    }).join();
}

CHECK_MAIN()
