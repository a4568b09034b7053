// planner.hpp: the rapidly-exploring random tree planner and its geometry.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "core/float_vector_list.hpp"
#include "core/interrupt_countdown.hpp"
#include "planning/nearest_index.hpp"
#include "planning/obstacle_index.hpp"
#include "planning/planar.hpp"
#include "planning/random.hpp"
#include "planning/tree.hpp"

namespace tarn::planning {

struct PlannerInput {
    FloatVector start, goal, boundaries;
    FloatVectorList obstacles;
    double step_size;
    Index max_iterations;
};

// Without this bound a sampling rectangle that the obstacles cover entirely
// (or an obstacle given as an empty vector, which is near every point) would
// make the planner draw forever.
inline constexpr std::uint64_t max_consecutive_rejections = 10'000'000;

// Euclidean distance over the first min(a.size(), b.size()) coordinates,
// summed in increasing coordinate order from 0.0; 0.0 when either is empty.
double general_distance(std::span<const double> a, std::span<const double> b);

// The same, inline for the planner's common case of two coordinates shared,
// where planar_distance does the very same operations.
inline double distance(std::span<const double> a, std::span<const double> b) {
    // Both sizes tested on their own first, so that the compiler sees the reads
    // below as in bounds.
    if (a.size() >= 2 && b.size() >= 2 && std::min(a.size(), b.size()) == 2) {
        return planar_distance(a[0], a[1], b[0], b[1]);
    }
    return general_distance(a, b);
}

// The node that a scan over all of `tree`'s nodes in index order would find
// nearest to `sample`: the smallest distance, the lowest index among equals,
// and a NaN distance neither taking nor losing the lead. `sample_nodes` must
// hold every node but the root, each with the same two coordinates as in
// `tree`; the root, which may be of any length, is compared directly.
Index nearest_node(const Tree& tree, const NearestIndex& sample_nodes, const Sample& sample);

// What a run takes besides its input.
struct PlannerHooks {
    // Called at most once, when the first sample is about to be drawn.
    std::function<Rng&()> obtain_rng = []() -> Rng& { return thread_rng(); };
    // Throws InvalidValue after this many consecutive rejected samples.
    std::uint64_t rejection_bound = max_consecutive_rejections;
    // Runs every `interrupt_check_interval` draws, rejected ones included,
    // and in the building of the obstacle filter; an exception it throws ends
    // the run at once and discards the partial tree. May be empty.
    InterruptCheck check_interrupt = {};
};

// Grows a tree from `input.start`.
Tree rapidly_exploring_random_tree(PlannerInput input, const PlannerHooks& hooks = {});

}  // namespace tarn::planning
