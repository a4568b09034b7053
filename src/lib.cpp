// lib.cpp: the module tree, its entry points, and the module-level functions.
#include <Python.h>

#include <algorithm>
#include <array>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

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

// Both additions reuse the storage of the first operand, which the caller
// gives up: the result then costs no allocation of its own.
FloatVector add_elementwise(FloatVector a, const FloatVector& b) {
    a.resize(std::min(a.size(), b.size()));
    for (std::size_t i = 0; i < a.size(); ++i) a[i] += b[i];
    return a;
}

FloatVector add_scalar(FloatVector a, double scalar) {
    for (double& value : a) value += scalar;
    return a;
}

// Whether the interpreter's float conversion of `operand` is bound to fail
// without running Python code: exact lists and tuples offer neither
// __float__ nor __index__, so trying would only build a TypeError to drop.
bool certainly_not_a_number(PyObject* operand) {
    return PyList_CheckExact(operand) || PyTuple_CheckExact(operand);
}

// The second operand is a number when the interpreter can make a float of it,
// and otherwise a sequence of numbers; its errors are raised unwrapped.
FloatVector add_second_operand(FloatVector a, PyObject* operand) {
    if (!certainly_not_a_number(operand)) {
        const double scalar = PyFloat_AsDouble(operand);
        if (!(scalar == -1.0 && PyErr_Occurred())) return add_scalar(std::move(a), scalar);
        binding::discard_pending_error();
        if (binding::is_str(operand)) binding::raise_type_error("Can't extract `str` to `Vec`");
    }
    return add_elementwise(std::move(a), binding::to_float_vector(operand));
}

// The common call, exact lists (or tuples) of exact floats or ints, or one
// such list and such a number, is added in one pass straight into the result
// list, with no native copy of either operand. Reading exact floats and ints
// runs no Python code, so the shortcut cannot be observed: when an item of any
// other kind turns up, or an int too large for a double, or memory runs out,
// the partial result is dropped and the general path starts afresh, raising
// any error in its own order.
struct OperandsInPlace {
    std::span<PyObject* const> a;
    std::span<PyObject* const> b;  // empty when a number is broadcast
    PyObject* scalar = nullptr;    // the broadcast number, borrowed

    OperandsInPlace(PyObject* vector_a, PyObject* vector_b) : a(binding::items_in_place(vector_a)) {
        if (PyFloat_CheckExact(vector_b) || PyLong_CheckExact(vector_b)) {
            scalar = vector_b;
        } else {
            b = binding::items_in_place(vector_b);
        }
    }
    std::size_t result_length() const { return scalar ? a.size() : std::min(a.size(), b.size()); }
    PyObject* b_item(std::size_t i) const { return scalar ? scalar : b[i]; }
};

// The value of an exact float or int, or nothing for any other object and for
// an int too large for a double, whose error is dropped here.
std::optional<double> plain_number(PyObject* item) {
    if (PyFloat_CheckExact(item)) return PyFloat_AS_DOUBLE(item);
    if (!PyLong_CheckExact(item)) return std::nullopt;
    const double value = PyLong_AsDouble(item);
    if (value == -1.0 && PyErr_Occurred()) {
        binding::discard_pending_error();
        return std::nullopt;
    }
    return value;
}

bool plain_numbers_from(std::span<PyObject* const> items, std::size_t first) {
    for (std::size_t i = first; i < items.size(); ++i) {
        if (!plain_number(items[i])) return false;
    }
    return true;
}

Ref give_up_on_exhausted_memory() {
    binding::discard_pending_error();
    return Ref();
}

// The sum by the shortcut above, or nothing when the general path must run.
// An error raised while reading may have run the garbage collector, so after
// a failed read nothing more is read from the operands.
Ref try_add_plain_numbers(PyObject* vector_a, PyObject* vector_b) {
    const std::size_t length = OperandsInPlace(vector_a, vector_b).result_length();
    if (length == 0) return Ref();
    Ref sum = Ref::steal(PyList_New(Py_ssize_t(length)));
    if (!sum) return give_up_on_exhausted_memory();
    // Creating a list may run the garbage collector, and finalizers with it,
    // which could change the operands: their items are taken only now.
    const OperandsInPlace operands(vector_a, vector_b);
    // The general path converts the surplus of the longer operand too.
    if (operands.result_length() != length || !plain_numbers_from(operands.a, length) ||
        !plain_numbers_from(operands.b, length)) {
        return Ref();
    }
    for (std::size_t i = 0; i < length; ++i) {
        const std::optional<double> x = plain_number(operands.a[i]);
        if (!x) return Ref();
        const std::optional<double> y = plain_number(operands.b_item(i));
        if (!y) return Ref();
        PyObject* value = PyFloat_FromDouble(*x + *y);
        if (!value) return give_up_on_exhausted_memory();
        PyList_SET_ITEM(sum.get(), Py_ssize_t(i), value);
    }
    return sum;
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
        if (Ref sum = try_add_plain_numbers(slots[0], slots[1])) return sum;
        FloatVector a = binding::extract_argument(slots[0], "vector_a", binding::to_float_vector);
        const Ref b = Ref::borrow(slots[1]);
        if (a.empty()) return binding::to_python(FloatVector{});
        return binding::to_python(add_second_operand(std::move(a), b.get()));
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
