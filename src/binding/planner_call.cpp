// planner_call.cpp: the planner on Python arguments.
#include "binding/planner_call.hpp"

#include <utility>

#include "binding/call_frame.hpp"
#include "binding/convert.hpp"
#include "binding/signals.hpp"
#include "binding/signature.hpp"
#include "binding/tree_type.hpp"
#include "planning/planner.hpp"

namespace tarn::binding {
namespace {

namespace parameter {
constexpr Parameter start{"start"};
constexpr Parameter goal{"goal"};
constexpr Parameter boundaries{"boundaries"};
constexpr Parameter obstacles{"obstacles"};
constexpr Parameter step_size{"step_size"};
constexpr Parameter max_iterations{"max_iterations"};
}  // namespace parameter

constexpr auto planner_signature = function_signature(
    "rapidly_exploring_random_tree", parameter::start, parameter::goal, parameter::boundaries,
    parameter::obstacles, parameter::step_size, parameter::max_iterations);

PyObject* planner_call(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_frame([&] {
        const Arguments<planner_signature> arguments(args, nargs, kwnames);
        planning::PlannerInput input{
            .start = arguments.convert<parameter::start>(to_float_vector),
            .goal = arguments.convert<parameter::goal>(to_float_vector),
            .boundaries = arguments.convert<parameter::boundaries>(to_float_vector),
            .obstacles = arguments.convert<parameter::obstacles>(to_float_vectors),
            .step_size = arguments.convert<parameter::step_size>(to_double),
            .max_iterations = arguments.convert<parameter::max_iterations>(to_index),
        };
        // The interpreter lock stays held, so a signal handler runs between two
        // draws and its exception ends the run.
        return wrap_tree(planning::rapidly_exploring_random_tree(
            std::move(input), planning::PlannerHooks{.check_interrupt = signal_check}));
    });
}

}  // namespace

PyMethodDef planner_method = fastcall_method<planner_signature>(planner_call);

}  // namespace tarn::binding
