// scan_oracles.hpp: plain scans and a scan-based planner, the oracles for the spatial indices.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "core/fault.hpp"
#include "planning/planner.hpp"
#include "planning/random.hpp"

namespace oracle {

using namespace tarn;
using namespace tarn::planning;

// Index of the node nearest to `sample`, by a scan in index order: a later
// node replaces the best only when strictly closer, so ties keep the lower
// index and a NaN distance neither takes nor loses the lead.
inline Index nearest_node(const std::vector<FloatVector>& nodes, std::span<const double> sample) {
    Index nearest = 0;
    double nearest_distance = distance(nodes[0], sample);
    for (std::size_t i = 1; i < nodes.size(); ++i) {
        const double candidate = distance(nodes[i], sample);
        if (candidate < nearest_distance) {
            nearest = i;
            nearest_distance = candidate;
        }
    }
    return nearest;
}

// Whether some obstacle lies strictly within the clearance of `sample`.
inline bool hits_obstacle(const FloatVectorList& obstacles, const Sample& sample) {
    for (std::size_t i = 0; i < obstacles.size(); ++i) {
        if (distance(obstacles[i], sample) < obstacle_clearance) return true;
    }
    return false;
}

// A tree in the nested layout, grown by the planner's algorithm with both scans.
struct ReferenceTree {
    std::vector<FloatVector> nodes;
    std::vector<IndexList> adjacency_list;
};

inline ReferenceTree plan_by_scans(PlannerInput input, tarn::planning::Rng& rng,
                                   std::uint64_t rejection_bound) {
    ReferenceTree tree{{std::move(input.start)}, {{}}};
    std::uint64_t rejections = 0;
    for (Index accepted = 0; accepted < input.max_iterations;) {
        const double x = sample_below(rng, tarn::checked_at(input.boundaries, 0));
        const Sample sample{x, sample_below(rng, tarn::checked_at(input.boundaries, 1))};
        if (hits_obstacle(input.obstacles, sample)) {
            if (++rejections >= rejection_bound) throw tarn::InvalidValue("unplaceable");
            continue;
        }
        rejections = 0;
        const Index parent = nearest_node(tree.nodes, sample);
        tree.nodes.emplace_back(sample.begin(), sample.end());
        tree.adjacency_list.emplace_back();
        tree.adjacency_list[parent].push_back(tree.nodes.size() - 1);
        if (input.step_size > distance(tree.nodes.back(), input.goal)) {
            tree.adjacency_list.back().push_back(tree.nodes.size());
            tree.nodes.push_back(std::move(input.goal));
            tree.adjacency_list.emplace_back();
            break;
        }
        ++accepted;
    }
    return tree;
}

// Equality of coordinates bit for bit, so that NaNs compare equal to themselves.
inline bool same_bits(const std::vector<FloatVector>& a, const std::vector<FloatVector>& b) {
    return std::equal(
        a.begin(), a.end(), b.begin(), b.end(), [](const FloatVector& u, const FloatVector& v) {
            return std::equal(u.begin(), u.end(), v.begin(), v.end(), [](double p, double q) {
                return std::bit_cast<std::uint64_t>(p) == std::bit_cast<std::uint64_t>(q);
            });
        });
}

}  // namespace oracle
