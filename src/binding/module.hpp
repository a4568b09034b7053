// module.hpp: module definitions, module creation and registration of contents.
#pragma once

#include <Python.h>

#include <atomic>

#include "binding/ref.hpp"

namespace tarn::binding {

// One module of the tree: the interpreter's definition, the routine that
// fills a fresh module object, and the flag that allows that only once per
// process.
struct ModuleDefinition {
    PyModuleDef def;
    void (*initialise)(PyObject* module);
    std::atomic<bool> created{false};
};

// Creates and initialises the module, or throws. A second creation in the
// same process is refused with ImportError.
Ref create_module(ModuleDefinition& definition);

// Creates a function object from a method definition that lives for the whole
// process, bound to `module`, and adds it under its own name.
void add_function(PyObject* module, PyMethodDef& method);

// Creates the submodule and adds it under its own name; a failure to create it
// is a fault.
void add_submodule(PyObject* module, ModuleDefinition& definition);

// Sets module.<obj.__name__> = obj and appends the name to module.__all__.
void add_under_own_name(PyObject* module, PyObject* obj);

}  // namespace tarn::binding
