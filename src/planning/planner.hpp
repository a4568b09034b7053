// planner.hpp: the rapidly-exploring random tree planner and its geometry.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

#include "planning/random.hpp"
#include "planning/tree.hpp"

namespace tarn::planning {

struct PlannerInput {
    FloatVector start, goal, boundaries;
    std::vector<FloatVector> obstacles;
    double step_size;
    Index max_iterations;
};

// A drawn point; samples always have exactly two coordinates.
using Sample = std::array<double, 2>;

// Samples closer than this to an obstacle are rejected.
inline constexpr double obstacle_clearance = 1.0;

// Without this bound a sampling rectangle that the obstacles cover entirely
// (or an obstacle given as an empty vector, which is near every point) would
// make the planner draw forever.
inline constexpr std::uint64_t max_consecutive_rejections = 10'000'000;

// Euclidean distance over the first min(a.size(), b.size()) coordinates,
// summed in increasing coordinate order from 0.0; 0.0 when either is empty.
double distance(const FloatVector& a, const FloatVector& b);

// True when `sample` lies strictly closer than `obstacle_clearance` to some
// obstacle (compared over at most the obstacle's first two coordinates).
// A NaN distance does not count as a hit.
bool hits_obstacle(const std::vector<FloatVector>& obstacles, const Sample& sample);

// Index of the node nearest to `sample`: the first node wins ties, and a NaN
// distance neither replaces the best so far nor is ever replaced once it is
// the best. Returns 0 for an empty `nodes`, which a tree never has.
Index nearest_node(const std::vector<FloatVector>& nodes, const FloatVector& sample);

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
