// module.cpp: module creation, the once-only rule and registration of contents.
#include "binding/module.hpp"

#include <string>

#include "binding/python_error.hpp"
#include "core/fault.hpp"

namespace tarn::binding {
namespace {

Ref get_or_create_all(PyObject* module) {
    static PyObject* const all_name = [] {
        PyObject* name = expect_object(PyUnicode_FromString("__all__"));
        PyUnicode_InternInPlace(&name);
        return name;
    }();
    if (PyObject* all = PyObject_GetAttr(module, all_name)) return Ref::steal(all);
    PythonError error = PythonError::fetch();
    if (!PyErr_GivenExceptionMatches(error.type(), PyExc_AttributeError)) throw std::move(error);
    Ref all = Ref::steal(expect_object(PyList_New(0)));
    if (PyObject_SetAttr(module, all_name, all.get()) < 0) throw PythonError::fetch();
    return all;
}

}  // namespace

Ref create_module(ModuleDefinition& definition) {
    Ref module = steal_or_raise(PyModule_Create2(&definition.def, PYTHON_API_VERSION));
    if (definition.created.exchange(true)) {
        throw PythonError::from_message(
            PyExc_ImportError, "module '" + std::string(definition.def.m_name) +
                                   "' may be initialised only once per interpreter process");
    }
    definition.initialise(module.get());
    return module;
}

void add_function(PyObject* module, PyMethodDef& method) {
    const char* module_name = PyModule_GetName(module);
    if (module_name == nullptr) throw PythonError::fetch();
    Ref name = Ref::steal(expect_object(PyUnicode_FromString(module_name)));
    Ref function = steal_or_raise(PyCMethod_New(&method, module, name.get(), nullptr));
    add_under_own_name(module, function.get());
}

void add_submodule(PyObject* module, ModuleDefinition& definition) {
    Ref submodule;
    try {
        submodule = create_module(definition);
    } catch (PythonError& error) {
        raise_fault("failed to wrap pymodule: " + error.render());
    }
    add_under_own_name(module, submodule.get());
}

void add_under_own_name(PyObject* module, PyObject* obj) {
    Ref name = steal_or_raise(PyObject_GetAttrString(obj, "__name__"));
    if (!PyUnicode_Check(name.get())) raise_not_convertible(name.get(), "PyString");
    Ref all = get_or_create_all(module);
    if (PyList_Append(all.get(), name.get()) < 0) {
        PythonError error = PythonError::fetch();
        raise_fault("could not append __name__ to __all__: " + error.render());
    }
    if (PyObject_SetAttr(module, name.get(), obj) < 0) throw PythonError::fetch();
}

}  // namespace tarn::binding
