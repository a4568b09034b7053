// planner_call.hpp: the planner on Python arguments.
#pragma once

#include <Python.h>

#include <span>

#include "binding/ref.hpp"

namespace tarn::binding {

// Converts the six matched arguments (start, goal, boundaries, obstacles,
// step_size, max_iterations; all borrowed) in that order, grows the tree and
// returns it as a new `Tree` instance.
Ref rapidly_exploring_random_tree(std::span<PyObject* const, 6> arguments);

}  // namespace tarn::binding
