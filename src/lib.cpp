// lib.cpp: the module tree, its entry points, and the module-level functions.
#include <Python.h>

#include <algorithm>
#include <array>
#include <string_view>

#include "binding/call_frame.hpp"
#include "binding/convert.hpp"
#include "binding/module.hpp"
#include "binding/parse.hpp"
#include "binding/python_error.hpp"
#include "planning/planner.hpp"
#include "planning/tree_type.hpp"

namespace tarn {
namespace {

using binding::FloatVector;
using binding::Ref;

// ---- vector_add ------------------------------------------------------------

FloatVector add_elementwise(const FloatVector& a, const FloatVector& b) {
    const std::size_t length = std::min(a.size(), b.size());
    FloatVector sum(length);
    for (std::size_t i = 0; i < length; ++i) sum[i] = a[i] + b[i];
    return sum;
}

FloatVector add_scalar(const FloatVector& a, double scalar) {
    FloatVector sum(a.size());
    for (std::size_t i = 0; i < a.size(); ++i) sum[i] = a[i] + scalar;
    return sum;
}

// The second operand is a number when the interpreter can make a float of it,
// and otherwise a sequence of numbers; its errors are raised unwrapped.
FloatVector add_second_operand(const FloatVector& a, PyObject* operand) {
    const double scalar = PyFloat_AsDouble(operand);
    if (!(scalar == -1.0 && PyErr_Occurred())) return add_scalar(a, scalar);
    binding::discard_pending_error();
    if (binding::is_str(operand)) binding::raise_type_error("Can't extract `str` to `Vec`");
    return add_elementwise(a, binding::to_float_vector(operand));
}

constexpr std::array<std::string_view, 2> vector_add_parameters{"vector_a", "vector_b"};
constexpr binding::FunctionDescription vector_add_description{
    .function_name = "vector_add",
    .positional_parameter_names = vector_add_parameters,
    .required_positional_parameters = 2,
};

PyObject* vector_add(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return binding::call_frame([&] {
        std::array<PyObject*, 2> slots{};
        binding::extract_arguments_fastcall(vector_add_description, args, nargs, kwnames, slots);
        const FloatVector a =
            binding::extract_argument(slots[0], "vector_a", binding::to_float_vector);
        const Ref b = Ref::borrow(slots[1]);
        if (a.empty()) return binding::to_python(FloatVector{});
        return binding::to_python(add_second_operand(a, b.get()));
    });
}

// ---- rapidly_exploring_random_tree ----------------------------------------

constexpr std::array<std::string_view, 6> planner_parameters{
    "start", "goal", "boundaries", "obstacles", "step_size", "max_iterations"};
constexpr binding::FunctionDescription planner_description{
    .function_name = "rapidly_exploring_random_tree",
    .positional_parameter_names = planner_parameters,
    .required_positional_parameters = 6,
};

PyObject* rapidly_exploring_random_tree(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) {
    return binding::call_frame([&]() -> Ref {
        std::array<PyObject*, 6> slots{};
        binding::extract_arguments_fastcall(planner_description, args, nargs, kwnames, slots);
        using binding::extract_argument;
        planning::PlannerInput input{
            .start = extract_argument(slots[0], "start", binding::to_float_vector),
            .goal = extract_argument(slots[1], "goal", binding::to_float_vector),
            .boundaries = extract_argument(slots[2], "boundaries", binding::to_float_vector),
            .obstacles = extract_argument(slots[3], "obstacles", binding::to_float_vectors),
            .step_size = extract_argument(slots[4], "step_size", binding::to_double),
            .max_iterations = extract_argument(slots[5], "max_iterations", binding::to_index),
        };
        return planning::wrap_tree(planning::rapidly_exploring_random_tree(std::move(input)));
    });
}

// ---- method definitions: they live as long as the process ------------------

PyMethodDef vector_add_method{
    "vector_add", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(vector_add)),
    METH_FASTCALL | METH_KEYWORDS, "vector_add(vector_a, vector_b)\n--\n\n"};

PyMethodDef planner_method{
    "rapidly_exploring_random_tree",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(rapidly_exploring_random_tree)),
    METH_FASTCALL | METH_KEYWORDS,
    "rapidly_exploring_random_tree(start, goal, boundaries, obstacles, step_size, "
    "max_iterations)\n--\n\n"};

// ---- the module tree --------------------------------------------------------

void initialise_tarn(PyObject* module);
void initialise_moremath(PyObject* module);
void initialise_vectors(PyObject* module) { binding::add_function(module, vector_add_method); }
void initialise_rrt(PyObject* module) { binding::add_function(module, planner_method); }

constexpr PyModuleDef module_def(const char* name) {
    return PyModuleDef{
        PyModuleDef_HEAD_INIT, name, "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};
}

binding::ModuleDefinition tarn_module{module_def("tarn"), initialise_tarn};
binding::ModuleDefinition moremath_module{module_def("moremath"), initialise_moremath};
binding::ModuleDefinition vectors_module{module_def("vectors"), initialise_vectors};
binding::ModuleDefinition rrt_module{module_def("rrt"), initialise_rrt};

void initialise_tarn(PyObject* module) {
    binding::add_submodule(module, moremath_module);
    binding::add_submodule(module, rrt_module);
}

void initialise_moremath(PyObject* module) { binding::add_submodule(module, vectors_module); }

PyObject* module_entry_point(binding::ModuleDefinition& definition) {
    return binding::call_frame([&] { return binding::create_module(definition); });
}

}  // namespace
}  // namespace tarn

PyMODINIT_FUNC PyInit_tarn() { return tarn::module_entry_point(tarn::tarn_module); }
PyMODINIT_FUNC PyInit_moremath() { return tarn::module_entry_point(tarn::moremath_module); }
PyMODINIT_FUNC PyInit_vectors() { return tarn::module_entry_point(tarn::vectors_module); }
PyMODINIT_FUNC PyInit_rrt() { return tarn::module_entry_point(tarn::rrt_module); }
