// rounding_margins.hpp: the allowances for rounding that the indices' exact answers rest on.
#pragma once

namespace tarn::planning {

// The spatial indices answer exactly as a scan would, yet decide much of it
// from rounded values: a point's cell, a cell's walls, a disc's extent,
// square sums in place of distances. The allowances below cover the rounding
// in those with room to spare: too wide costs only a few more points compared
// exactly, too narrow would change answers. Below, u = 2^-53 is the unit
// roundoff: a rounded operation is off by a factor of at most 1 + u.

// Two different square sums share a rounded root only when their ratio is
// below about (1 + u)^2 / (1 - u)^2 = 1 + 2^-51, their exact roots both lying
// within half an ulp of the rounded one. Four times that excess, 2^-49, leaves
// room for the rounding of might_share_root itself. Where sum * 2^-49 is
// subnormal, its rounding costs at most half an ulp of the sum, while a sum
// that might share the root is at least an ulp away.
inline constexpr double shared_root_allowance = 0x1p-49;

// Every square sum that might share the rounded root of `sum` is at most this.
inline double might_share_root(double sum) { return sum + sum * shared_root_allowance; }

// A grid's walls (a column times width / columns), a point's column (x times
// columns / width, rounded down), the gap from a point to a wall and the
// rounded distance across it are each a few roundings from exact: errors of a
// few u times the grid's larger side. Bounds on the distance beyond a wall
// are lowered by 2^-40 (2^13 u) times that side, so that no point filed
// beyond the wall is nearer than the bound.
inline constexpr double grid_wall_allowance = 0x1p-40;

// Cells are never thinner than this: the square of a gap across one must
// keep enough precision (about 34 bits, as a subnormal number near 2^-1040)
// for the bounds to say anything.
inline constexpr double min_cell_extent = 0x1p-520;

// The obstacle filter widens each clearance disc by 2^-40 times
// 1 + |coordinate|, so that every sample the disc could hit lies in a cell
// the widened disc reaches: its extreme coordinates, coordinate +- reach, are
// rounded by about u times 1 + |coordinate|, far less, and all that follows
// (scaling to a column, rounding down) only grows with them.
inline constexpr double obstacle_reach_allowance = 0x1p-40;

}  // namespace tarn::planning
