// test_planner.cpp: the planner's distance and the planner, driven with fixed-seed generators.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "check.hpp"
#include "core/fault.hpp"
#include "planning/planner.hpp"
#include "planning/random.hpp"
#include "planning/tree.hpp"
#include "scan_oracles.hpp"

using namespace tarn;
using namespace tarn::planning;

namespace {

const double not_a_number = std::numeric_limits<double>::quiet_NaN();

Seed seed_from(std::uint8_t first) {
    Seed seed{};
    for (std::size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<std::uint8_t>(first + i);
    return seed;
}

// Hands out `rng` and records how often it was asked for.
struct CountingSource {
    Rng& rng;
    int calls = 0;
    std::function<Rng&()> obtain() {
        return [this]() -> Rng& {
            ++calls;
            return rng;
        };
    }
};

PlannerInput input_with(FloatVector boundaries, std::vector<FloatVector> obstacles,
                        double step_size, Index max_iterations) {
    return PlannerInput{.start = {0.0, 0.0},
                        .goal = {1e9, 1e9},
                        .boundaries = std::move(boundaries),
                        .obstacles = std::move(obstacles),
                        .step_size = step_size,
                        .max_iterations = max_iterations};
}

Tree plan(PlannerInput input, const Seed& seed) {
    Rng rng(seed, nullptr);
    return rapidly_exploring_random_tree(std::move(input),
                                         {.obtain_rng = [&rng]() -> Rng& { return rng; }});
}

// Redraws the planner's samples from an identically seeded generator, so tests
// know which samples were rejected without trusting the planner.
struct Replay {
    std::vector<Sample> accepted;
    std::uint64_t rejections = 0;
    std::uint64_t longest_rejection_run = 0;
};

Replay replay(const Seed& seed, const FloatVector& boundaries,
              const std::vector<FloatVector>& obstacles, std::size_t accepted_wanted) {
    Rng rng(seed, nullptr);
    Replay result;
    std::uint64_t run = 0;
    while (result.accepted.size() < accepted_wanted) {
        const double x = sample_below(rng, boundaries[0]);
        const Sample sample{x, sample_below(rng, boundaries[1])};
        if (oracle::hits_obstacle(obstacles, sample)) {
            ++result.rejections;
            result.longest_rejection_run = std::max(result.longest_rejection_run, ++run);
        } else {
            run = 0;
            result.accepted.push_back(sample);
        }
    }
    return result;
}

// Obstacles whose unit discs cover most, but not all, of [0, 4) x [0, 4).
const std::vector<FloatVector> crowded_obstacles{{1, 1}, {3, 3}, {1, 3}, {3, 1}};

}  // namespace

// ---- Geometry ----

TEST_CASE("distance: over the shared coordinates only") {
    const auto d = [](FloatVector a, FloatVector b) { return distance(a, b); };
    CHECK_EQ(d({}, {}), 0.0);
    CHECK_EQ(d({}, {3.0, 4.0}), 0.0);
    CHECK_EQ(d({3.0, 4.0}, {}), 0.0);
    CHECK_EQ(d({3.0, 4.0}, {0.0, 0.0}), 5.0);
    CHECK_EQ(d({3.0, 4.0, 100.0}, {0.0, 0.0}), 5.0);
    CHECK_EQ(d({-1.0}, {2.0, 50.0}), 3.0);
}

TEST_CASE("distance: NaN inside the shared coordinates propagates, beyond them it is ignored") {
    const auto d = [](FloatVector a, FloatVector b) { return distance(a, b); };
    CHECK(std::isnan(d({not_a_number, 0.0}, {0.0, 0.0})));
    CHECK(std::isnan(d({0.0, 0.0}, {0.0, not_a_number})));
    CHECK_EQ(d({0.0, not_a_number}, {3.0}), 3.0);
    // Squares that overflow give an infinite distance, not a NaN.
    CHECK_EQ(d({1e300, 0.0}, {-1e300, 0.0}), std::numeric_limits<double>::infinity());
}

TEST_CASE("distance: the planar form is the general one, bit for bit") {
    const std::vector<double> values{0.0, 1e-310, 0.1, 0.7, 1.0, 3.0, 1e10, 1e154, 1e300};
    for (const double ax : values) {
        for (const double by : values) {
            const FloatVector a{ax, 0.3}, b{0.9, by};
            CHECK_EQ(planar_distance(a[0], a[1], b[0], b[1]), general_distance(a, b));
            CHECK_EQ(distance(a, b), general_distance(a, b));
        }
    }
}

TEST_CASE("distance: each square is rounded before it is added, in the library and here") {
    // With the second square fused into the addition (a multiply-add) the sum, and its root,
    // come out one unit in the last place lower: 0.7453559924999298.
    const double x = 1.0 / 3.0, y = 2.0 / 3.0;
    CHECK_EQ(distance(FloatVector{x, y}, FloatVector{0.0, 0.0}), 0.7453559924999299);
    CHECK_EQ(planar_distance(x, y, 0.0, 0.0), 0.7453559924999299);
}

// ---- Planner ----

TEST_CASE("planner: zero iterations returns the start alone without a generator") {
    Rng rng(seed_from(1), nullptr);
    CountingSource source{rng};
    const Tree tree =
        rapidly_exploring_random_tree(PlannerInput{{1.0, 2.0, 3.0}, {}, {}, {{}}, not_a_number, 0},
                                      {.obtain_rng = source.obtain()});
    CHECK_EQ(source.calls, 0);
    CHECK(tree.nodes() == (std::vector<FloatVector>{{1.0, 2.0, 3.0}}));
    CHECK(tree.adjacency_list() == std::vector<IndexList>{{}});
}

TEST_CASE("planner: short boundaries fault after the generator is obtained") {
    Rng rng(seed_from(1), nullptr);
    CountingSource source{rng};
    CHECK_THROWS_MESSAGE(
        rapidly_exploring_random_tree(input_with({}, {}, 1.0, 5), {.obtain_rng = source.obtain()}),
        tarn::Fault, "index out of bounds: the len is 0 but the index is 0");
    CHECK_EQ(source.calls, 1);

    // With one extent, x is drawn first: the generator has moved on by one draw.
    Rng planner_rng(seed_from(2), nullptr);
    CHECK_THROWS_MESSAGE(rapidly_exploring_random_tree(
                             input_with({3.0}, {}, 1.0, 5),
                             {.obtain_rng = [&planner_rng]() -> Rng& { return planner_rng; }}),
                         tarn::Fault, "index out of bounds: the len is 1 but the index is 1");
    Rng expected(seed_from(2), nullptr);
    (void)sample_below(expected, 3.0);
    CHECK_EQ(planner_rng.next_u64(), expected.next_u64());
}

TEST_CASE("planner: an empty sampling range faults, before a missing second extent is noticed") {
    Rng rng(seed_from(1), nullptr);
    const auto obtain = [&rng]() -> Rng& { return rng; };
    CHECK_THROWS_MESSAGE(
        rapidly_exploring_random_tree(input_with({0.0}, {}, 1.0, 1), {.obtain_rng = obtain}),
        tarn::Fault, "cannot sample empty range");
    CHECK_THROWS_MESSAGE(rapidly_exploring_random_tree(input_with({5.0, not_a_number}, {}, 1.0, 1),
                                                       {.obtain_rng = obtain}),
                         tarn::Fault, "cannot sample empty range");
}

TEST_CASE("planner: a goal near every sample is reached by the first one") {
    PlannerInput input{{0.0, 0.0}, {0.5, 0.5}, {1.0, 1.0}, {}, 1.0, 1};
    const Tree tree = plan(std::move(input), seed_from(3));
    CHECK_EQ(tree.size(), 3u);
    CHECK(tree.adjacency_list() == (std::vector<IndexList>{{1}, {2}, {}}));
    CHECK(tree.nodes()[2] == (FloatVector{0.5, 0.5}));

    // An empty goal is at distance 0 from every sample.
    const Tree empty_goal =
        plan(PlannerInput{{0.0, 0.0}, {}, {5.0, 5.0}, {}, 0.5, 10}, seed_from(3));
    CHECK_EQ(empty_goal.size(), 3u);
    CHECK(empty_goal.node(2).empty());
}

TEST_CASE("planner: a goal never reached gives one node per accepted sample") {
    for (const double step_size : {0.0, -1.0, not_a_number}) {
        const Tree tree = plan(input_with({2.0, 3.0, -7.0}, {}, step_size, 50), seed_from(4));
        CHECK_EQ(tree.size(), 51u);
        for (std::size_t i = 1; i < tree.size(); ++i) {
            const std::span<const double> node = tree.node(i);
            CHECK_EQ(node.size(), 2u);
            CHECK(node[0] >= 0.0 && node[0] < 2.0 && node[1] >= 0.0 && node[1] < 3.0);
        }
    }
    // The goal test is strict: an empty goal at distance 0 is not within step 0.
    const Tree strict = plan(PlannerInput{{0.0, 0.0}, {}, {1.0, 1.0}, {}, 0.0, 5}, seed_from(4));
    CHECK_EQ(strict.size(), 6u);
}

TEST_CASE("planner: samples avoid obstacles and hang from their nearest earlier node") {
    const FloatVector boundaries{10.0, 10.0};
    const std::vector<FloatVector> obstacles{{5.0, 5.0}, {2.0, 8.0}, {8.0}};
    const Tree tree = plan(input_with(boundaries, obstacles, 0.0, 300), seed_from(5));
    CHECK_EQ(tree.size(), 301u);

    const std::vector<FloatVector> nodes = tree.nodes();
    const std::vector<IndexList> adjacency = tree.adjacency_list();
    std::vector<Index> parent(tree.size(), 0);
    std::vector<int> parent_count(tree.size(), 0);
    for (std::size_t p = 0; p < tree.size(); ++p) {
        const IndexList& children = adjacency[p];
        for (std::size_t c = 0; c < children.size(); ++c) {
            CHECK(children[c] > p && children[c] < tree.size());
            if (c > 0) CHECK(children[c] > children[c - 1]);
            parent[children[c]] = p;
            ++parent_count[children[c]];
        }
    }
    for (std::size_t k = 1; k < tree.size(); ++k) {
        const FloatVector& sample = nodes[k];
        CHECK_EQ(parent_count[k], 1);
        CHECK(sample[0] >= 0.0 && sample[0] < 10.0 && sample[1] >= 0.0 && sample[1] < 10.0);
        CHECK(distance(sample, FloatVector{5.0, 5.0}) >= 1.0 &&
              distance(sample, FloatVector{2.0, 8.0}) >= 1.0);
        CHECK(std::abs(sample[0] - 8.0) >= 1.0);
        const double chosen = distance(nodes[parent[k]], sample);
        for (std::size_t j = 0; j < k; ++j) {
            const double other = distance(nodes[j], sample);
            CHECK(j < parent[k] ? other > chosen : other >= chosen);
        }
    }
}

TEST_CASE("planner: accepted samples are the generator's draws, rejected ones do not count") {
    const FloatVector boundaries{4.0, 4.0};
    const Tree tree = plan(input_with(boundaries, crowded_obstacles, 0.0, 40), seed_from(6));
    const Replay expected = replay(seed_from(6), boundaries, crowded_obstacles, 40);
    CHECK(expected.rejections > 40);
    CHECK_EQ(tree.size(), 41u);
    for (std::size_t i = 0; i < expected.accepted.size(); ++i) {
        CHECK(std::ranges::equal(tree.node(i + 1), expected.accepted[i]));
    }
}

TEST_CASE("planner: the same seed grows the same tree") {
    const auto grow = [](const Seed& seed) {
        return plan(PlannerInput{{0.0, 0.0}, {9.0, 9.0}, {10.0, 10.0}, {{5.0, 5.0}}, 0.7, 500},
                    seed);
    };
    const Tree first = grow(seed_from(7));
    const Tree second = grow(seed_from(7));
    CHECK(first.nodes() == second.nodes());
    CHECK(first.adjacency_list() == second.adjacency_list());
    CHECK(first.nodes() != grow(seed_from(8)).nodes());
}

TEST_CASE("planner: consecutive rejections are bounded, and an acceptance resets the count") {
    const FloatVector boundaries{4.0, 4.0};
    const Replay expected = replay(seed_from(9), boundaries, crowded_obstacles, 60);
    const std::uint64_t run = expected.longest_rejection_run;
    CHECK(run >= 2 && expected.rejections > run);

    const auto grow = [&](std::uint64_t bound) {
        Rng rng(seed_from(9), nullptr);
        return rapidly_exploring_random_tree(
            input_with(boundaries, crowded_obstacles, 0.0, 60),
            {.obtain_rng = [&rng]() -> Rng& { return rng; }, .rejection_bound = bound});
    };
    CHECK_EQ(grow(run + 1).size(), 61u);
    CHECK_THROWS_MESSAGE(grow(run), tarn::InvalidValue,
                         "no sample could be placed: " + std::to_string(run) +
                             " consecutive samples fell within distance 1 of an obstacle");
}

TEST_CASE("planner: an empty obstacle rejects everything up to the public bound") {
    CHECK_EQ(max_consecutive_rejections, 10'000'000u);
    Rng rng(seed_from(10), nullptr);
    CHECK_THROWS_MESSAGE(
        rapidly_exploring_random_tree(input_with({1.0, 1.0}, {{}}, 1.0, 1),
                                      {.obtain_rng = [&rng]() -> Rng& { return rng; }}),
        tarn::InvalidValue,
        "no sample could be placed: 10000000 consecutive samples fell within distance 1 of an "
        "obstacle");
}

TEST_CASE("planner: the interrupt check runs every 1024 draws, rejected ones included") {
    // An empty obstacle rejects every draw, so every draw up to the bound is a rejected one.
    int checks = 0;
    const auto run = [&](std::function<void()> check) {
        Rng rng(seed_from(11), nullptr);
        return rapidly_exploring_random_tree(
            input_with({1.0, 1.0}, {{}}, 1.0, 1),
            PlannerHooks{.obtain_rng = [&rng]() -> Rng& { return rng; },
                         .rejection_bound = 5000,
                         .check_interrupt = std::move(check)});
    };
    CHECK_THROWS_MESSAGE(run([&] { ++checks; }), tarn::InvalidValue,
                         "no sample could be placed: 5000 consecutive samples fell within distance "
                         "1 of an obstacle");
    CHECK_EQ(checks, 4);

    // An exception from the check ends the run at once.
    checks = 0;
    const auto interrupt_third = [&] {
        if (++checks == 3) throw std::runtime_error("interrupted");
    };
    CHECK_THROWS_MESSAGE(run(interrupt_third), std::runtime_error, "interrupted");
    CHECK_EQ(checks, 3);
}

TEST_CASE("obstacle filter: building checks for interrupts, and the check's exception ends it") {
    // Points in the plane are listed per cell and sorted; lines on x are sorted. Every loop of
    // that counts, so there are far more checks than one per 1024 obstacles.
    constexpr std::size_t count = 100'000;
    FloatVectorList points, lines;
    for (std::size_t i = 0; i < count; ++i) {
        const double x = double(i * 7919 % count) / 1000.0, y = double(i % 100);
        points.push_back(std::vector<double>{x, y});
        lines.push_back(std::vector<double>{x});
    }
    for (const FloatVectorList* obstacles : {&points, &lines}) {
        std::size_t checks = 0;
        (void)ObstacleIndex(*obstacles, 100.0, 100.0, [&] { ++checks; });
        CHECK(checks >= 3 * count / interrupt_check_interval);
        const auto interrupt = [] { throw std::runtime_error("interrupted"); };
        CHECK_THROWS_MESSAGE(ObstacleIndex(*obstacles, 100.0, 100.0, interrupt), std::runtime_error,
                             "interrupted");
    }
}

TEST_CASE("planner: the default hooks draw from the thread's generator") {
    const Tree tree =
        rapidly_exploring_random_tree(PlannerInput{{0.0, 0.0}, {0.5, 0.5}, {1.0, 1.0}, {}, 1.0, 3});
    CHECK(tree.adjacency_list() == (std::vector<IndexList>{{1}, {2}, {}}));
}

CHECK_MAIN()
