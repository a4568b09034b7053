// lib.cpp: the module tree, its entry points and the method tables.
#include <Python.h>

#include <array>
#include <string_view>

#include "binding/call_frame.hpp"
#include "binding/module.hpp"
#include "binding/parse.hpp"
#include "binding/planner_call.hpp"
#include "binding/vector_add.hpp"

namespace tarn {
namespace {

using binding::Ref;

// ---- vector_add ------------------------------------------------------------

constexpr std::array<std::string_view, 2> vector_add_parameters{"vector_a", "vector_b"};
constexpr binding::FunctionDescription vector_add_description{
    .function_name = "vector_add",
    .parameter_names = vector_add_parameters,
};

PyObject* vector_add(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return binding::call_frame([&] {
        std::array<PyObject*, 2> slots{};
        binding::extract_arguments_fastcall(vector_add_description, args, nargs, kwnames, slots);
        return binding::vector_add(slots[0], slots[1]);
    });
}

// ---- rapidly_exploring_random_tree ----------------------------------------

constexpr std::array<std::string_view, 6> planner_parameters{
    "start", "goal", "boundaries", "obstacles", "step_size", "max_iterations"};
constexpr binding::FunctionDescription planner_description{
    .function_name = "rapidly_exploring_random_tree",
    .parameter_names = planner_parameters,
};

PyObject* rapidly_exploring_random_tree(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) {
    return binding::call_frame([&]() -> Ref {
        std::array<PyObject*, 6> slots{};
        binding::extract_arguments_fastcall(planner_description, args, nargs, kwnames, slots);
        return binding::rapidly_exploring_random_tree(slots);
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
