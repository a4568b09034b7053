// planner_call.hpp: the planner on Python arguments.
#pragma once

#include <Python.h>

namespace tarn::binding {

// The method table entry of `rapidly_exploring_random_tree(start, goal,
// boundaries, obstacles, step_size, max_iterations)`, which grows a tree and
// returns it as a new `Tree` instance. It lives as long as the process.
extern PyMethodDef planner_method;

}  // namespace tarn::binding
