// test_spatial_index.cpp: the grid and both spatial indices, checked against plain scans.
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "check.hpp"
#include "planning/cell_grid.hpp"
#include "planning/nearest_index.hpp"
#include "planning/obstacle_index.hpp"
#include "planning/planner.hpp"
#include "scan_oracles.hpp"

using namespace tarn;
using namespace tarn::planning;

namespace {

const double not_a_number = std::numeric_limits<double>::quiet_NaN();
const double infinity = std::numeric_limits<double>::infinity();

struct Rectangle {
    double width, height;
};
// Ordinary, huge (squared differences overflow), tiny, subnormal, thin.
const std::vector<Rectangle> rectangles{{100.0, 100.0}, {1e300, 1e300}, {1e-300, 1e-300},
                                        {5e-324, 1.0},  {1.0, 1e6},     {3.0, 3.0}};

// Test points in [0, width) x [0, height): uniform, on the walls of grids of
// up to 200 columns or rows, duplicated, or in tight clusters.
struct PointMaker {
    std::mt19937_64 gen;
    double width, height;
    double lattice = 0.0;  // when positive, every coordinate is a multiple of it

    double uniform(double extent) {
        const double value = std::uniform_real_distribution<double>(0.0, extent)(gen);
        return value < extent ? value : 0.0;
    }
    double on_wall(double extent) {
        const auto slots = std::uniform_int_distribution<int>(1, 200)(gen);
        const auto k = std::uniform_int_distribution<int>(0, slots - 1)(gen);
        return (extent / slots) * k;
    }
    double coordinate(double extent) {
        if (lattice > 0.0) return std::floor(uniform(extent) / lattice) * lattice;
        return std::uniform_int_distribution<int>(0, 2)(gen) == 0 ? on_wall(extent)
                                                                  : uniform(extent);
    }
    Sample point() { return {coordinate(width), coordinate(height)}; }

    // `count` points; after the first few, some repeat earlier ones exactly
    // and some sit within `spread` of an earlier one.
    std::vector<Sample> points(std::size_t count, double spread) {
        std::vector<Sample> result;
        for (std::size_t i = 0; i < count; ++i) {
            const int kind = i < 4 ? 0 : std::uniform_int_distribution<int>(0, 5)(gen);
            if (kind == 0 || kind > 2) {
                result.push_back(point());
                continue;
            }
            Sample p = result[std::uniform_int_distribution<std::size_t>(0, i - 1)(gen)];
            if (kind == 2) {
                p[0] = std::clamp(p[0] + uniform(2 * spread) - spread, 0.0, width);
                p[1] = std::clamp(p[1] + uniform(2 * spread) - spread, 0.0, height);
                if (!(p[0] < width)) p[0] = 0.0;
                if (!(p[1] < height)) p[1] = 0.0;
            }
            result.push_back(p);
        }
        return result;
    }
};

// Grows a tree and an index side by side, asking both the index and the scan
// for the nearest node to several queries after every insertion; returns the
// number of disagreements.
int nearest_mismatches(const FloatVector& root, double width, double height, std::uint64_t seed,
                       std::size_t count, double spread, double lattice = 0.0) {
    PointMaker maker{std::mt19937_64(seed), width, height, lattice};
    const std::vector<Sample> points = maker.points(count, spread);
    Tree tree(root);
    std::vector<FloatVector> nodes{root};
    NearestIndex index(width, height);
    int mismatches = 0;
    for (const Sample& p : points) {
        for (int q = 0; q < 3; ++q) {
            // Queries: fresh points, and stored points themselves (distance 0).
            const Sample query = q == 2 && nodes.size() > 1
                                     ? points[std::uniform_int_distribution<std::size_t>(
                                           0, nodes.size() - 2)(maker.gen)]
                                     : maker.point();
            const Index expected = oracle::nearest_node(nodes, query);
            if (nearest_node(tree, index, query) != expected) ++mismatches;
        }
        index.insert(tree.size(), p);
        tree.push(p);
        nodes.emplace_back(p.begin(), p.end());
    }
    return mismatches;
}

int obstacle_mismatches(const std::vector<FloatVector>& obstacles, double width, double height,
                        const std::vector<Sample>& samples) {
    const ObstacleIndex index(obstacles, width, height);
    int mismatches = 0;
    for (const Sample& s : samples) {
        if (index.hits(s) != oracle::hits_obstacle(obstacles, s)) ++mismatches;
    }
    return mismatches;
}

// An obstacle up to 1.5 beyond one of the rectangle's edges, level with `p`.
FloatVector outside_edge(const Sample& p, const Rectangle& r, PointMaker& maker) {
    const double beyond = maker.uniform(1.5);
    switch (std::uniform_int_distribution<int>(0, 3)(maker.gen)) {
        case 0:
            return {-beyond, p[1]};
        case 1:
            return {r.width + beyond, p[1]};
        case 2:
            return {p[0], -beyond};
        default:
            return {p[0], r.height + beyond};
    }
}

// Samples at about the clearance from each obstacle, a few units in the last
// place either way, kept inside the rectangle.
std::vector<Sample> samples_at_clearance(const std::vector<FloatVector>& obstacles, double width,
                                         double height, std::mt19937_64& gen) {
    // Every sample the index is asked about must lie in the rectangle.
    const auto inside = [&](const Sample& s) {
        return s[0] >= 0.0 && s[0] < width && s[1] >= 0.0 && s[1] < height;
    };
    std::vector<Sample> samples;
    for (const FloatVector& o : obstacles) {
        if (o.size() < 2) continue;
        for (int k = 0; k < 8; ++k) {
            const double angle = std::uniform_real_distribution<double>(0.0, 6.3)(gen);
            Sample s{o[0] + std::cos(angle), o[1] + std::sin(angle)};
            for (int nudge = std::uniform_int_distribution<int>(-3, 3)(gen); nudge != 0;
                 nudge += nudge > 0 ? -1 : 1) {
                s[0] = std::nextafter(s[0], nudge > 0 ? infinity : -infinity);
            }
            if (inside(s)) samples.push_back(s);
        }
        // Exactly the clearance away, to the right of an obstacle that may lie
        // up to 1.5 outside the rectangle.
        if (const Sample right{o[0] + 1.0, o[1]}; inside(right)) samples.push_back(right);
        // The rectangle's point closest to the obstacle, which decides
        // whether an obstacle outside may be left out.
        samples.push_back({std::clamp(o[0], 0.0, std::nextafter(width, 0.0)),
                           std::clamp(o[1], 0.0, std::nextafter(height, 0.0))});
    }
    return samples;
}

}  // namespace

// ---- cell grid ----

TEST_CASE("grid: points on walls and anywhere else get a cell whose bounds hold them") {
    for (const Rectangle& r : rectangles) {
        for (const std::size_t cells : {1u, 2u, 7u, 400u, 40000u}) {
            const CellGrid grid = CellGrid::with_cell_count(r.width, r.height, cells);
            CHECK(grid.cell_count() >= 1 && grid.cell_count() <= 2 * cells);
            PointMaker maker{std::mt19937_64(cells), r.width, r.height};
            for (int i = 0; i < 2000; ++i) {
                const Sample p = maker.point(), q = maker.point();
                const std::size_t c = grid.column_of(p[0]), row = grid.row_of(p[1]);
                CHECK(c < grid.columns() && row < grid.rows());
                // No bound on what lies outside a block around q's cell may
                // exceed the distance to a point there.
                const double d = planar_distance(p[0], p[1], q[0], q[1]);
                const std::size_t qc = grid.column_of(q[0]), qr = grid.row_of(q[1]);
                const std::size_t apart =
                    std::max(c > qc ? c - qc : qc - c, row > qr ? row - qr : qr - row);
                for (std::size_t radius = 0; radius < apart; ++radius) {
                    CHECK(grid.outside_block_lower_bound(q, qc, qr, radius) <= d);
                }
            }
        }
    }
}

TEST_CASE("grid: extreme rectangles give usable grids") {
    CHECK_EQ(CellGrid::with_cell_count(5e-324, 1.0, 64).columns(), 1u);
    CHECK(CellGrid::with_cell_count(1e300, 1e-300, 100).cell_count() <= 100);
    CHECK_EQ(CellGrid::with_cell_count(1e300, 1e-300, 100).rows(), 1u);
    const CellGrid grid = CellGrid::with_cell_count(10.0, 10.0, 100);
    CHECK(grid.block_covers_grid(5, 5, 5) && !grid.block_covers_grid(5, 5, 4));
    CHECK_EQ(grid.outside_block_lower_bound({5.5, 5.5}, 5, 5, 9), infinity);
    // Points outside the rectangle still find a cell (the outermost ones).
    CHECK_EQ(grid.column_of(-1e308), 0u);
    CHECK_EQ(grid.row_of(1e308), grid.rows() - 1);
}

// ---- nearest node ----

TEST_CASE("nearest: matches the scan for roots of every length and value") {
    const std::vector<FloatVector> roots{{},
                                         {50.0},
                                         {0.0, 0.0},
                                         {50.0, 50.0, -7.0},
                                         {not_a_number, 1.0},
                                         {1.0, not_a_number},
                                         {infinity, 0.0},
                                         {-infinity, infinity},
                                         {1e300, -1e300},
                                         {-3.0, 200.0}};
    for (std::size_t i = 0; i < roots.size(); ++i) {
        CHECK_EQ(nearest_mismatches(roots[i], 100.0, 100.0, i, 700, 0.5), 0);
    }
}

TEST_CASE("nearest: matches the scan on huge, tiny and thin rectangles") {
    for (const Rectangle& r : rectangles) {
        for (const FloatVector& root : {FloatVector{0.0, 0.0}, FloatVector{r.width / 2}}) {
            CHECK_EQ(nearest_mismatches(root, r.width, r.height, 11, 600, r.width * 1e-3), 0);
        }
    }
    // Clusters 1e153 across in a 1e300 square: some distances finite, most infinite.
    CHECK_EQ(nearest_mismatches({1e300, 1e300}, 1e300, 1e300, 12, 800, 1e153), 0);
}

TEST_CASE("nearest: many points, many duplicates, through several regrids") {
    CHECK_EQ(nearest_mismatches({0.0, 0.0}, 100.0, 100.0, 13, 3000, 1e-9), 0);
    CHECK_EQ(nearest_mismatches({}, 4.0, 4.0, 14, 3000, 0.0), 0);
}

TEST_CASE("nearest: a large index, with prefetching at work, matches the scan") {
    PointMaker maker{std::mt19937_64(15), 50.0, 20.0};
    Tree tree({25.0, 10.0});
    std::vector<FloatVector> nodes{{25.0, 10.0}};
    NearestIndex index(50.0, 20.0);
    for (const Sample& p : maker.points(100000, 1e-6)) {
        index.insert(tree.size(), p);
        tree.push(p);
        nodes.emplace_back(p.begin(), p.end());
    }
    int mismatches = 0;
    for (int q = 0; q < 300; ++q) {
        // Corners and edges first, where the neighbourhood is clipped.
        const Sample query = q < 4 ? Sample{q % 2 ? std::nextafter(50.0, 0.0) : 0.0,
                                            q / 2 ? std::nextafter(20.0, 0.0) : 0.0}
                                   : maker.point();
        index.prefetch(query);
        if (nearest_node(tree, index, query) != oracle::nearest_node(nodes, query)) ++mismatches;
    }
    CHECK_EQ(mismatches, 0);
}

TEST_CASE("nearest: lattice points, exactly on cell walls, tie at equal distances") {
    // Integer points in a 16 x 16 square fall on the walls of 2, 4, 8 and 16
    // column grids, and queries at integer and half-integer points meet many
    // candidates at the same distance, some of them in cells whose bound
    // equals that distance.
    for (std::uint64_t seed = 0; seed < 6; ++seed) {
        CHECK_EQ(nearest_mismatches({20.0, 20.0}, 16.0, 16.0, seed, 400, 0.0, seed % 2 ? 1.0 : 0.5),
                 0);
    }
}

TEST_CASE("nearest: exact ties go to the lowest index") {
    Tree tree({10.0, 10.0});
    NearestIndex index(8.0, 8.0);
    // Four points at distance 1 from (4, 4), inserted so that the lowest
    // index is not the first in any natural cell order.
    for (const Sample& p :
         {Sample{5.0, 4.0}, Sample{3.0, 4.0}, Sample{4.0, 5.0}, Sample{4.0, 3.0}}) {
        index.insert(tree.size(), p);
        tree.push(p);
    }
    CHECK_EQ(nearest_node(tree, index, {4.0, 4.0}), 1u);
    // The root wins a tie with a sample.
    CHECK_EQ(nearest_node(Tree({4.0, 5.0}), index, {4.0, 4.0}), 0u);
    // An infinitely distant root loses to any finite distance and wins among infinities.
    CHECK_EQ(nearest_node(Tree({infinity}), index, {4.0, 4.0}), 1u);
    CHECK_EQ(index.nearest({4.0, 4.0}, Nearest{7, 0.5}).index, 7u);
    CHECK_EQ(NearestIndex(1.0, 1.0).nearest({0.5, 0.5}, Nearest{0, infinity}).index, 0u);
}

TEST_CASE("nearest: indices past 32 bits, kept beside the slots, match the scan") {
    // Indices from just below 2^32 up: the first fit a slot, the rest wait in
    // chains; repeated points make ties across both kinds.
    PointMaker maker{std::mt19937_64(16), 30.0, 30.0};
    const std::vector<Sample> points = maker.points(1500, 0.0);
    const Index first_index = (Index{1} << 32) - 700;
    NearestIndex index(30.0, 30.0);
    const auto scan = [&](const Sample& query, std::size_t stored) {
        Nearest best{std::numeric_limits<Index>::max(), infinity};
        for (std::size_t i = 0; i < stored; ++i) {
            const Nearest candidate{
                first_index + i, planar_distance(points[i][0], points[i][1], query[0], query[1])};
            if (candidate.distance < best.distance) best = candidate;
        }
        return best.index;
    };
    int mismatches = 0;
    for (std::size_t i = 0; i < points.size(); ++i) {
        index.insert(first_index + i, points[i]);
        const Sample query = i % 2 ? maker.point() : points[i / 2];
        const Nearest none{std::numeric_limits<Index>::max(), infinity};
        if (index.nearest(query, none).index != scan(query, i + 1)) ++mismatches;
    }
    CHECK_EQ(mismatches, 0);
}

// ---- obstacles ----

TEST_CASE("obstacles: the pinned rules, by index and by scan") {
    const auto both = [](const std::vector<FloatVector>& obstacles, Sample s) {
        const bool by_index = ObstacleIndex(obstacles, 10.0, 10.0).hits(s);
        CHECK_EQ(by_index, oracle::hits_obstacle(obstacles, s));
        return by_index;
    };
    CHECK(!both({}, {0.5, 0.5}));
    CHECK(both({{0.0, 0.0}}, {0.5, 0.5}));
    CHECK(!both({{0.0, 0.0}}, {1.0, 0.0}));
    CHECK(!both({{not_a_number, 0.0}}, {0.0, 0.0}));
    CHECK(!both({{0.0, infinity}}, {0.0, 9.0}));
    CHECK(both({{5.0, 5.0}, {0.0, 0.0, 100.0}}, {0.5, 0.5}));
    CHECK(both({{}}, {9.9, 0.0}));
    CHECK(both({{2.0}}, {2.5, 9.0}));
    CHECK(!both({{2.0}}, {3.0, 2.0}));
    CHECK(both({{-0.5, 10.5}}, {0.0, 9.9}));
}

TEST_CASE("obstacles: unreachable and meaningless obstacles are left out") {
    const ObstacleIndex index({{-1.0, 5.0},
                               {5.0, 11.0},
                               {-0.5},
                               {not_a_number},
                               {1e9, 1e9},
                               {infinity, 1.0},
                               {5.0, 5.0},
                               {10.5}},
                              10.0, 10.0);
    CHECK_EQ(index.relevant_count(), 3u);
}

TEST_CASE("obstacles: matches the scan for random fields, at the clearance and on walls") {
    std::mt19937_64 gen(21);
    for (const Rectangle& r : rectangles) {
        for (const std::size_t count : {1u, 20u, 500u, 5000u}) {
            PointMaker maker{std::mt19937_64(count), r.width, r.height};
            std::vector<FloatVector> obstacles;
            for (std::size_t i = 0; i < count; ++i) {
                const Sample p = maker.point();
                // Some obstacles up to 2 outside the rectangle, some of other lengths.
                const double dx = maker.uniform(4.0) - 2.0, dy = maker.uniform(4.0) - 2.0;
                switch (i % 8) {
                    case 0:
                        obstacles.push_back({p[0] + dx, p[1] + dy});
                        break;
                    case 1:
                        obstacles.push_back({p[0] + dx, p[1], 3.0});
                        break;
                    case 2:
                        if (i % 64 == 2) obstacles.push_back({p[0] + dx});
                        break;
                    case 3:
                        obstacles.push_back(i % 16 == 3 ? FloatVector{not_a_number, p[1]}
                                                        : FloatVector{p[0], -infinity});
                        break;
                    case 4:
                        obstacles.push_back(outside_edge(p, r, maker));
                        break;
                    default:
                        obstacles.push_back({p[0], p[1]});
                }
            }
            std::vector<Sample> samples = samples_at_clearance(obstacles, r.width, r.height, gen);
            for (int i = 0; i < 3000; ++i) samples.push_back(maker.point());
            CHECK_EQ(obstacle_mismatches(obstacles, r.width, r.height, samples), 0);
        }
    }
}

// ---- planner end to end ----

TEST_CASE("planner: grows exactly the tree that the scans grow") {
    struct Case {
        FloatVector start, goal, boundaries;
        std::vector<FloatVector> obstacles;
        double step_size;
        Index iterations;
    };
    std::vector<FloatVector> field;
    std::mt19937_64 gen(31);
    for (int i = 0; i < 300; ++i) {
        field.push_back({std::uniform_real_distribution<double>(-1.0, 101.0)(gen),
                         std::uniform_real_distribution<double>(-1.0, 101.0)(gen)});
    }
    field.push_back({37.0});
    field.push_back({not_a_number, 3.0});
    const std::vector<Case> cases{
        {{0.0, 0.0}, {1e9, 1e9}, {100.0, 100.0}, field, 0.0, 5000},
        {{0.0, 0.0}, {95.0, 95.0}, {100.0, 100.0}, field, 2.0, 4000},
        {{}, {1.0, 1.0, 1.0}, {100.0, 100.0, 5.0}, {}, 0.0, 500},
        {{not_a_number, 0.0}, {}, {10.0, 10.0}, {{5.0, 5.0}}, 0.0, 300},
        {{50.0}, {}, {100.0, 3.0}, {{20.0, 1.0}, {70.0}}, 0.0, 600},
        {{infinity, 1.0, 2.0}, {1e9}, {1e300, 1e300}, {{5e299, 5e299}}, 0.0, 600},
        {{0.0, 0.0}, {0.0, 0.0}, {1e-300, 1e-300}, {{1.0, 0.0, 1.0}, {1.0 + 1e-300}}, 0.0, 300},
        // Squares that underflow: every sample ties with every other, or
        // nearly every one does.
        {{1.0, 1.0}, {5.0, 5.0}, {1e-300, 1e-300}, {}, 0.0, 3000},
        {{1.0, 1.0}, {5.0, 5.0}, {3e-160, 1e-159}, {}, 0.0, 1000},
        {{0.0, 0.0}, {0.0, 0.0}, {2.0, 2.0}, {{1.0, 1.0}}, 0.0, 2000},
    };
    for (std::size_t k = 0; k < cases.size(); ++k) {
        const Case& c = cases[k];
        for (std::uint8_t seed = 1; seed <= 3; ++seed) {
            const PlannerInput input{c.start,     c.goal,      c.boundaries,
                                     c.obstacles, c.step_size, c.iterations};
            Seed key{};
            key.fill(static_cast<std::uint8_t>(seed + 16 * k));
            Rng planner_rng(key, nullptr), reference_rng(key, nullptr);
            const Tree tree = rapidly_exploring_random_tree(
                input,
                {.obtain_rng = [&]() -> Rng& { return planner_rng; }, .rejection_bound = 1000});
            const oracle::ReferenceTree expected =
                oracle::plan_by_scans(input, reference_rng, 1000);
            CHECK(oracle::same_bits(tree.nodes(), expected.nodes));
            CHECK(tree.adjacency_list() == expected.adjacency_list);
            CHECK_EQ(planner_rng.next_u64(), reference_rng.next_u64());
        }
    }
}

CHECK_MAIN()
