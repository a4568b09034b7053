// planner.cpp: growing a rapidly-exploring random tree around point obstacles.
#include "planning/planner.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <utility>

#include "core/fault.hpp"

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

// The accepted samples, in the order drawn. Rejected ones are drawn and
// dropped here, and too long a run of them ends the search.
class SampleStream {
public:
    SampleStream(Rng& rng, const PlannerInput& input, std::uint64_t rejection_bound)
        : rng_(rng), input_(input), rejection_bound_(rejection_bound) {}

    Sample next() {
        for (;;) {
            const Sample sample = draw_sample(rng_, input_.boundaries);
            // Sized from the rectangle, the index waits for a first draw to
            // prove the boundaries usable.
            if (!obstacles_) {
                obstacles_.emplace(input_.obstacles, input_.boundaries[0], input_.boundaries[1]);
            }
            if (!obstacles_->hits(sample)) {
                consecutive_rejections_ = 0;
                return sample;
            }
            if (++consecutive_rejections_ >= rejection_bound_) refuse_unplaceable(rejection_bound_);
        }
    }

private:
    Rng& rng_;
    const PlannerInput& input_;
    std::uint64_t rejection_bound_;
    std::uint64_t consecutive_rejections_ = 0;
    std::optional<ObstacleIndex> obstacles_;
};

// Hangs `sample` from its nearest node; returns the new node's index.
Index attach(Tree& tree, NearestIndex& sample_nodes, const Sample& sample) {
    const Index parent = nearest_node(tree, sample_nodes, sample);
    const Index new_index = tree.size();
    tree.push(sample);
    tree.connect(parent, new_index);
    sample_nodes.insert(new_index, sample);
    return new_index;
}

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
    SampleStream samples(obtain_rng(), input, rejection_bound);
    Sample sample = samples.next();
    NearestIndex sample_nodes(input.boundaries[0], input.boundaries[1]);
    for (Index accepted_samples = 1;; ++accepted_samples) {
        // The goal test needs the sample alone, so whether another sample
        // will be drawn is known before this one is attached. Drawing it
        // first lets the index fetch that sample's neighbourhood from memory
        // while this one is placed; the draws stay the same in number and
        // order, and a failure while drawing still discards the whole tree.
        const bool reaches_goal = input.step_size > distance(sample, input.goal);
        const bool last = reaches_goal || accepted_samples == input.max_iterations;
        Sample following{};
        if (!last) {
            following = samples.next();
            sample_nodes.prefetch(following);
        }
        const Index new_index = attach(tree, sample_nodes, sample);
        if (reaches_goal) {
            tree.push(input.goal);
            tree.connect(new_index, new_index + 1);
        }
        if (last) return tree;
        sample = following;
    }
}

}  // namespace tarn::planning
