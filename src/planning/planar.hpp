// planar.hpp: points in the plane and the planner's distance between them.
#pragma once

#include <array>
#include <cmath>

namespace tarn::planning {

// A drawn point; samples always have exactly two coordinates.
using Sample = std::array<double, 2>;

// The sum under the root of planar_distance.
inline double planar_square_sum(double ax, double ay, double bx, double by) {
    const double dx = ax - bx;
    const double dy = ay - by;
    return (0.0 + dx * dx) + dy * dy;
}

// The planner's distance between two points given by their first two
// coordinates, written exactly as the general distance evaluates it (a sum
// from 0.0 in coordinate order, differences taken as `a - b`), so that both
// give bit-identical results.
inline double planar_distance(double ax, double ay, double bx, double by) {
    return std::sqrt(planar_square_sum(ax, ay, bx, by));
}

// Rounding to nearest is monotone, so every step of planar_distance
// (subtraction, squaring, addition, square root) can only grow when its
// operands grow in magnitude. Comparing square sums therefore orders
// distances, except that two different sums may share a rounded root; and a
// sum is below 1.0 exactly when its root is.

}  // namespace tarn::planning
