// lib.cpp: the module tree and its entry points.
#include <Python.h>

#include "binding/call_frame.hpp"
#include "binding/module.hpp"
#include "binding/planner_call.hpp"
#include "binding/tree_type.hpp"
#include "binding/vector_add.hpp"

namespace tarn {
namespace {

// ---- the module tree --------------------------------------------------------

void initialise_tarn(PyObject* module);
void initialise_moremath(PyObject* module);
void initialise_vectors(PyObject* module) {
    binding::add_function(module, binding::vector_add_method);
}
void initialise_rrt(PyObject* module) { binding::add_function(module, binding::planner_method); }

constexpr PyModuleDef module_def(const char* name) {
    return PyModuleDef{
        PyModuleDef_HEAD_INIT, name, "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};
}

binding::ModuleDefinition tarn_module{module_def("tarn"), initialise_tarn};
binding::ModuleDefinition moremath_module{module_def("moremath"), initialise_moremath};
binding::ModuleDefinition vectors_module{module_def("vectors"), initialise_vectors};
// The planner's module, which the Tree class it returns names as its own.
binding::ModuleDefinition rrt_module{module_def(binding::tree_class.module_name.data()),
                                     initialise_rrt};

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
