// planner.cpp: growing a rapidly-exploring random tree around point obstacles.
#include "planning/planner.hpp"

#include <algorithm>
#include <cmath>
#include <span>
#include <string>
#include <utility>

#include "binding/errors.hpp"

namespace tarn::planning {
namespace {

// Works on spans so that a sample held in two doubles can be measured without
// first being copied into a vector.
double distance_between(std::span<const double> a, std::span<const double> b) {
    const std::size_t shared = std::min(a.size(), b.size());
    double sum = 0.0;
    for (std::size_t i = 0; i < shared; ++i) {
        const double difference = a[i] - b[i];
        sum += difference * difference;
    }
    return std::sqrt(sum);
}

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

}  // namespace

double distance(const FloatVector& a, const FloatVector& b) { return distance_between(a, b); }

bool hits_obstacle(const std::vector<FloatVector>& obstacles, const Sample& sample) {
    // Written as `<` so that a NaN distance never counts as a hit.
    return std::any_of(obstacles.begin(), obstacles.end(), [&](const FloatVector& obstacle) {
        return distance_between(obstacle, sample) < obstacle_clearance;
    });
}

Index nearest_node(const std::vector<FloatVector>& nodes, const FloatVector& sample) {
    if (nodes.empty()) return 0;
    Index nearest = 0;
    double nearest_distance = distance(nodes[0], sample);
    for (std::size_t i = 1; i < nodes.size(); ++i) {
        const double candidate = distance(nodes[i], sample);
        // Strictly smaller only: ties keep the lower index, and comparisons
        // with NaN are false on either side.
        if (candidate < nearest_distance) {
            nearest = i;
            nearest_distance = candidate;
        }
    }
    return nearest;
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
    std::uint64_t consecutive_rejections = 0;
    for (Index accepted_samples = 0; accepted_samples < input.max_iterations;) {
        const Sample sample = draw_sample(rng, input.boundaries);
        if (hits_obstacle(input.obstacles, sample)) {
            if (++consecutive_rejections >= rejection_bound) refuse_unplaceable(rejection_bound);
            continue;
        }
        consecutive_rejections = 0;

        FloatVector node(sample.begin(), sample.end());
        const Index parent = nearest_node(tree.nodes(), node);
        const Index new_index = tree.size();
        tree.push(std::move(node));
        tree.connect(parent, new_index);

        if (input.step_size > distance(tree.nodes().back(), input.goal)) {
            tree.push(std::move(input.goal));
            tree.connect(new_index, new_index + 1);
            break;
        }
        ++accepted_samples;
    }
    return tree;
}

}  // namespace tarn::planning
