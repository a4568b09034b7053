// planner.cpp: growing a rapidly-exploring random tree around point obstacles.
#include "planning/planner.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

#include "core/fault.hpp"

namespace tarn::planning {
namespace {

// The sampling rectangle [0, width) x [0, height).
struct Rectangle {
    double width, height;
};

// Checks `boundaries` once, before the first draw, with the faults in the
// order that drawing x and then y would meet them: a bad or missing first
// extent, then (after x has been drawn) a missing second one, then a bad
// second one.
Rectangle sampling_rectangle(Rng& rng, const FloatVector& boundaries) {
    const double width = checked_at(boundaries, 0);
    check_sampling_range(width);
    if (boundaries.size() < 2) {
        (void)sample_below(rng, width);
        raise_index_fault(boundaries.size(), 1);
    }
    const double height = boundaries[1];
    check_sampling_range(height);
    return {width, height};
}

[[noreturn]] void refuse_unplaceable(std::uint64_t rejection_bound) {
    throw InvalidValue("no sample could be placed: " + std::to_string(rejection_bound) +
                       " consecutive samples fell within distance 1 of an obstacle");
}

// The accepted samples, in the order drawn. Rejected ones are drawn and
// dropped here, and too long a run of them ends the search.
class SampleStream {
public:
    SampleStream(Rng& rng, Rectangle rectangle, const FloatVectorList& obstacles,
                 const PlannerHooks& hooks)
        : rng_(rng),
          rectangle_(rectangle),
          obstacles_(obstacles, rectangle.width, rectangle.height, hooks.check_interrupt),
          hooks_(hooks) {}

    Sample next() {
        for (;;) {
            interrupts_.step();
            const double x = sample_below_checked(rng_, rectangle_.width);
            const Sample sample{x, sample_below_checked(rng_, rectangle_.height)};
            if (!obstacles_.hits(sample)) {
                consecutive_rejections_ = 0;
                return sample;
            }
            if (++consecutive_rejections_ >= hooks_.rejection_bound) {
                refuse_unplaceable(hooks_.rejection_bound);
            }
        }
    }

private:
    Rng& rng_;
    Rectangle rectangle_;
    ObstacleIndex obstacles_;
    const PlannerHooks& hooks_;
    InterruptCountdown interrupts_{hooks_.check_interrupt};  // counts every draw
    std::uint64_t consecutive_rejections_ = 0;
};

// Room for the tree's nodes comes in two steps. First for a few thousand
// samples, so that a run that ends early at the goal does not claim memory for
// all of `max_iterations`. A run that outgrows that then gets room for the rest
// at once, when the rest is of modest size: that spares the copies of growing
// step by step and never asks for more than growing would.
constexpr Index first_reservation = Index{1} << 12;
constexpr Index largest_second_reservation = Index{1} << 21;

void reserve_samples(Tree& tree, Index samples) {
    // The samples, and the goal that may follow them.
    tree.reserve(static_cast<std::size_t>(samples) + 2, sizeof(Sample) / sizeof(double));
}

void reserve_for(Tree& tree, Index max_iterations) {
    reserve_samples(tree, std::min(max_iterations, first_reservation));
}

void reserve_rest(Tree& tree, Index accepted_samples, Index max_iterations) {
    const Index rest = max_iterations - accepted_samples;
    if (accepted_samples == first_reservation && rest <= largest_second_reservation) {
        reserve_samples(tree, rest);
    }
}

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

double general_distance(std::span<const double> a, std::span<const double> b) {
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

Tree rapidly_exploring_random_tree(PlannerInput input, const PlannerHooks& hooks) {
    Tree tree(std::move(input.start));
    if (input.max_iterations == 0) return tree;

    // Obtaining the generator may create and seed it, which can fault; that
    // comes before any look at the boundaries.
    Rng& rng = hooks.obtain_rng();
    const Rectangle rectangle = sampling_rectangle(rng, input.boundaries);
    SampleStream samples(rng, rectangle, input.obstacles, hooks);
    reserve_for(tree, input.max_iterations);
    NearestIndex sample_nodes(rectangle.width, rectangle.height);
    // A drawn sample, with whether it reaches the goal and whether it ends
    // the run, both known before it is attached.
    struct Drawn {
        Sample point;
        bool reaches_goal;
        bool ends_run;
    };
    const auto draw = [&](Index accepted_samples) {
        const Sample point = samples.next();
        // A step size that is not positive reaches nothing, whatever the
        // distance: that spares its square root.
        const bool reaches_goal =
            input.step_size > 0.0 && input.step_size > distance(point, input.goal);
        return Drawn{point, reaches_goal, reaches_goal || accepted_samples == input.max_iterations};
    };
    // Whether another sample will be drawn is known before this one is
    // attached. Drawing one ahead lets the index fetch its neighbourhood from
    // memory while this one is placed; the draws stay the same in number and
    // order, and a failure while drawing still discards the whole tree.
    Drawn sample = draw(1);
    for (Index accepted_samples = 1;; ++accepted_samples) {
        Drawn following{};
        if (!sample.ends_run) {
            following = draw(accepted_samples + 1);
            sample_nodes.prefetch(following.point);
        }
        reserve_rest(tree, accepted_samples, input.max_iterations);
        const Index new_index = attach(tree, sample_nodes, sample.point);
        if (sample.reaches_goal) {
            tree.push(input.goal);
            tree.connect(new_index, new_index + 1);
        }
        if (sample.ends_run) return tree;
        sample = following;
    }
}

}  // namespace tarn::planning
