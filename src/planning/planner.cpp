// planner.cpp: growing a rapidly-exploring random tree around point obstacles.
#include "planning/planner.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <utility>

#include "binding/errors.hpp"

namespace tarn::planning {
namespace {

Sample draw_sample(Rng& rng, const FloatVector& boundaries) {
    // x is drawn before boundaries[1] is looked at, so a bad first extent
    // faults before a missing second one.
    const double x = sample_below(rng, checked_at(boundaries, 0));
    const double y = sample_below(rng, checked_at(boundaries, 1));
    return {x, y};
}

[[noreturn]] void refuse_unplaceable(std::uint64_t rejection_bound) {
    throw InvalidValue("no sample could be placed: " + std::to_string(rejection_bound) +
                       " consecutive samples fell within distance 1 of an obstacle");
}

// The indices that stand in for scans over the obstacles and over the nodes.
// Both are sized from the sampling rectangle, so they are built only once a
// first sample has been drawn, which proves the boundaries usable.
struct SampleSpace {
    ObstacleIndex obstacles;
    NearestIndex sample_nodes;  // every node but the root, which may be anything

    SampleSpace(const std::vector<FloatVector>& obstacle_list, const FloatVector& boundaries)
        : obstacles(obstacle_list, boundaries[0], boundaries[1]),
          sample_nodes(boundaries[0], boundaries[1]) {}
};

}  // namespace

double distance(std::span<const double> a, std::span<const double> b) {
    const std::size_t shared = std::min(a.size(), b.size());
    double sum = 0.0;
    for (std::size_t i = 0; i < shared; ++i) {
        const double difference = a[i] - b[i];
        sum += difference * difference;
    }
    return std::sqrt(sum);
}

Index nearest_node(const Tree& tree, const NearestIndex& sample_nodes, const Sample& sample) {
    // Sample nodes have finite coordinates, so only the root's distance can
    // be NaN; as the scan's first candidate it then keeps the lead.
    const double root_distance = distance(tree.node(0), sample);
    if (std::isnan(root_distance)) return 0;
    return sample_nodes.nearest(sample, Nearest{0, root_distance}).index;
}

Tree rapidly_exploring_random_tree(PlannerInput input) {
    return rapidly_exploring_random_tree(std::move(input), []() -> Rng& { return thread_rng(); });
}

Tree rapidly_exploring_random_tree(PlannerInput input, const std::function<Rng&()>& obtain_rng) {
    return rapidly_exploring_random_tree(std::move(input), obtain_rng, max_consecutive_rejections);
}

Tree rapidly_exploring_random_tree(PlannerInput input, const std::function<Rng&()>& obtain_rng,
                                   std::uint64_t rejection_bound) {
    Tree tree(std::move(input.start));
    if (input.max_iterations == 0) return tree;

    // Obtaining the generator may create and seed it, which can fault; that
    // comes before any look at the boundaries.
    Rng& rng = obtain_rng();
    std::optional<SampleSpace> space;
    std::uint64_t consecutive_rejections = 0;
    for (Index accepted_samples = 0; accepted_samples < input.max_iterations;) {
        const Sample sample = draw_sample(rng, input.boundaries);
        if (!space) space.emplace(input.obstacles, input.boundaries);
        if (space->obstacles.hits(sample)) {
            if (++consecutive_rejections >= rejection_bound) refuse_unplaceable(rejection_bound);
            continue;
        }
        consecutive_rejections = 0;

        const Index parent = nearest_node(tree, space->sample_nodes, sample);
        const Index new_index = tree.size();
        tree.push(sample);
        tree.connect(parent, new_index);
        space->sample_nodes.insert(new_index, sample);

        if (input.step_size > distance(sample, input.goal)) {
            tree.push(input.goal);
            tree.connect(new_index, new_index + 1);
            break;
        }
        ++accepted_samples;
    }
    return tree;
}

}  // namespace tarn::planning
