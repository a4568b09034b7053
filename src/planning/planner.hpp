// planner.hpp: the rapidly-exploring random tree planner and its geometry.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "planning/cell_grid.hpp"
#include "planning/nearest_index.hpp"
#include "planning/obstacle_index.hpp"
#include "planning/random.hpp"
#include "planning/tree.hpp"

namespace tarn::planning {

struct PlannerInput {
    FloatVector start, goal, boundaries;
    std::vector<FloatVector> obstacles;
    double step_size;
    Index max_iterations;
};

// Without this bound a sampling rectangle that the obstacles cover entirely
// (or an obstacle given as an empty vector, which is near every point) would
// make the planner draw forever.
inline constexpr std::uint64_t max_consecutive_rejections = 10'000'000;

// Euclidean distance over the first min(a.size(), b.size()) coordinates,
// summed in increasing coordinate order from 0.0; 0.0 when either is empty.
double distance(std::span<const double> a, std::span<const double> b);

// The node that a scan over all of `tree`'s nodes in index order would find
// nearest to `sample`: the smallest distance, the lowest index among equals,
// and a NaN distance neither taking nor losing the lead. `sample_nodes` must
// hold every node but the root, each with the same two coordinates as in
// `tree`; the root, which may be of any length, is compared directly.
Index nearest_node(const Tree& tree, const NearestIndex& sample_nodes, const Sample& sample);

// Grows a tree from `input.start` with samples from the calling thread's
// generator, obtained only when the first sample is drawn.
Tree rapidly_exploring_random_tree(PlannerInput input);

// The same with the generator supplied by `obtain_rng`, which is called at
// most once, when the first sample is about to be drawn.
Tree rapidly_exploring_random_tree(PlannerInput input, const std::function<Rng&()>& obtain_rng);

// The planner with the rejection bound as a parameter, so that tests can
// reach it without ten million draws. Throws InvalidValue after
// `rejection_bound` consecutive rejected samples.
Tree rapidly_exploring_random_tree(PlannerInput input, const std::function<Rng&()>& obtain_rng,
                                   std::uint64_t rejection_bound);

}  // namespace tarn::planning
