// test_fingerprint.cpp: digests of fixed-seed outputs, which every build on every platform must
// reproduce exactly as committed in tests/data/fingerprint.txt.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "check.hpp"
#include "planning/planner.hpp"
#include "planning/random.hpp"
#include "planning/simd.hpp"

using namespace tarn;
using namespace tarn::planning;

namespace {

// FNV-1a over the values' bit patterns, low byte first whatever the byte order.
class Digest {
public:
    void add(std::uint64_t bits) {
        for (int byte = 0; byte < 8; ++byte) {
            state_ = (state_ ^ ((bits >> (8 * byte)) & 0xFF)) * 0x100000001B3;
        }
    }
    // Every NaN counts as one: processors make different NaNs of the same invalid operation
    // (x86-64 sets the sign, arm64 does not), and Python cannot tell them apart either.
    void add(double value) {
        add(std::isnan(value) ? std::uint64_t{0x7FF8000000000000}
                              : std::bit_cast<std::uint64_t>(value));
    }
    std::string hex() const {
        char text[17];
        std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(state_));
        return text;
    }

private:
    std::uint64_t state_ = 0xCBF29CE484222325;
};

Seed seed_from(std::uint8_t first) {
    Seed seed{};
    for (std::size_t i = 0; i < seed.size(); ++i)
        seed[i] = static_cast<std::uint8_t>(first + 7 * i);
    return seed;
}

std::string generator_words() {
    Digest digest;
    for (const std::uint8_t first : {std::uint8_t{0}, std::uint8_t{1}, std::uint8_t{200}}) {
        Rng rng(seed_from(first), nullptr);
        // Past several refills, the 32-bit and 64-bit reads interleaved.
        for (int i = 0; i < 3000; ++i) {
            digest.add(std::uint64_t{rng.next_u32()});
            if (i % 3 == 0) digest.add(rng.next_u64());
        }
    }
    return digest.hex();
}

constexpr double infinity = std::numeric_limits<double>::infinity();
constexpr double not_a_number = std::numeric_limits<double>::quiet_NaN();
constexpr double least_subnormal = std::numeric_limits<double>::denorm_min();
constexpr double least_normal = std::numeric_limits<double>::min();
constexpr double greatest = std::numeric_limits<double>::max();

std::string sampler_doubles() {
    Digest digest;
    Rng rng(seed_from(3), nullptr);
    for (double upper : {1.0, 3.0, 1e-3, 1e300, greatest, 1e-310, least_normal, least_subnormal}) {
        for (int i = 0; i < 2000; ++i) digest.add(sample_below(rng, upper));
    }
    return digest.hex();
}

std::string distances() {
    const double values[] = {0.0,          -0.0,
                             1.0,          -2.5,
                             1e-200,       least_subnormal,
                             least_normal, 3 * least_subnormal,
                             1e154,        1e200,
                             greatest,     -greatest,
                             infinity,     -infinity,
                             not_a_number, 0.1};
    Digest digest;
    for (double ax : values) {
        for (double ay : values) {
            for (double bx : values) {
                digest.add(planar_distance(ax, ay, bx, 0.3));
                const FloatVector a{ax, ay, bx};
                const FloatVector b{0.7, bx, ay, ax};
                digest.add(general_distance(a, b));
                digest.add(distance(a, b));
            }
        }
    }
    // Ordinary points, where a fused multiply-add would round differently now and then.
    Rng rng(seed_from(4), nullptr);
    for (int i = 0; i < 20000; ++i) {
        const FloatVector a{sample_below(rng, 100.0), sample_below(rng, 100.0)};
        const FloatVector b{sample_below(rng, 100.0), sample_below(rng, 1e-3), 5.0};
        digest.add(distance(a, b));
        digest.add(general_distance(b, FloatVector{a[0], a[1], sample_below(rng, 1.0)}));
    }
    return digest.hex();
}

std::vector<FloatVector> lattice_obstacles(double spacing, int count) {
    std::vector<FloatVector> obstacles;
    for (int i = 0; i < count; ++i) {
        obstacles.push_back({spacing * (i % 10) + 0.5, spacing * (i / 10) + 0.3});
    }
    return obstacles;
}

std::string tree_digest(PlannerInput input, std::uint8_t seed) {
    Rng rng(seed_from(seed), nullptr);
    const Tree tree = rapidly_exploring_random_tree(
        std::move(input), {.obtain_rng = [&rng]() -> Rng& { return rng; }});
    Digest digest;
    digest.add(std::uint64_t{tree.size()});
    for (const FloatVector& node : tree.nodes()) {
        digest.add(std::uint64_t{node.size()});
        for (double coordinate : node) digest.add(coordinate);
    }
    for (const IndexList& children : tree.adjacency_list()) {
        digest.add(std::uint64_t{children.size()});
        for (Index child : children) digest.add(std::uint64_t{child});
    }
    return digest.hex();
}

PlannerInput input(FloatVector start, FloatVector goal, FloatVector boundaries,
                   std::vector<FloatVector> obstacles, double step_size, Index iterations) {
    return PlannerInput{.start = std::move(start),
                        .goal = std::move(goal),
                        .boundaries = std::move(boundaries),
                        .obstacles = std::move(obstacles),
                        .step_size = step_size,
                        .max_iterations = iterations};
}

std::map<std::string, std::string> fingerprint() {
    const FloatVector far{1e9, 1e9};
    return {
        {"generator-words", generator_words()},
        {"sampler-doubles", sampler_doubles()},
        {"distances", distances()},
        {"tree-open", tree_digest(input({0, 0}, far, {100, 100}, {}, 0.0, 20000), 1)},
        {"tree-few-obstacles",
         tree_digest(input({0, 0}, far, {10, 10}, lattice_obstacles(3, 6), 0.0, 3000), 2)},
        {"tree-many-obstacles",
         tree_digest(input({0, 0}, far, {40, 40}, lattice_obstacles(4, 100), 0.0, 3000), 3)},
        {"tree-subnormal-rectangle",
         tree_digest(input({0, 0}, far, {1e-310, 3 * least_subnormal}, {}, 0.0, 2000), 4)},
        {"tree-goal", tree_digest(input({0, 0}, {7, 7}, {8, 8}, {}, 0.05, 100000), 5)},
        {"tree-longer-root", tree_digest(input({0.5, 0.5, 7.0}, far, {2, 2}, {}, 0.0, 3000), 6)},
    };
}

// "name digest" lines.
std::map<std::string, std::string> read_expected(const char* path) {
    std::map<std::string, std::string> expected;
    std::ifstream file(path);
    std::string name, digest;
    while (file >> name >> digest) expected[name] = digest;
    return expected;
}

}  // namespace

TEST_CASE("fixed-seed outputs have the committed digests") {
    std::printf("simd form: %s\n",
                simd::vector_extensions ? "compiler vector types" : "portable loops");
    const auto expected = read_expected(TARN_TESTDATA_DIR "fingerprint.txt");
    const auto actual = fingerprint();
    CHECK_EQ(expected.size(), actual.size());
    for (const auto& [name, digest] : actual) {
        std::printf("%s %s\n", name.c_str(), digest.c_str());
        const auto found = expected.find(name);
        const std::string committed = found == expected.end() ? "nothing" : found->second;
        if (committed != digest) {
            check::fail(__FILE__, __LINE__, name + " is " + digest + ", committed " + committed);
        }
    }
}

CHECK_MAIN()
