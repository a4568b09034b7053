// planner_call.cpp: the planner on Python arguments.
#include "binding/planner_call.hpp"

#include <utility>

#include "binding/convert.hpp"
#include "binding/parse.hpp"
#include "binding/python_error.hpp"
#include "binding/tree_type.hpp"
#include "planning/planner.hpp"

namespace tarn::binding {

Ref rapidly_exploring_random_tree(std::span<PyObject* const, 6> arguments) {
    planning::PlannerInput input{
        .start = extract_argument(arguments[0], "start", to_float_vector),
        .goal = extract_argument(arguments[1], "goal", to_float_vector),
        .boundaries = extract_argument(arguments[2], "boundaries", to_float_vector),
        .obstacles = extract_argument(arguments[3], "obstacles", to_float_vectors),
        .step_size = extract_argument(arguments[4], "step_size", to_double),
        .max_iterations = extract_argument(arguments[5], "max_iterations", to_index),
    };
    // The interpreter lock stays held, so a signal handler runs between two
    // draws and its exception ends the run.
    return wrap_tree(planning::rapidly_exploring_random_tree(
        std::move(input), planning::PlannerHooks{.check_interrupt = check_signals}));
}

}  // namespace tarn::binding
