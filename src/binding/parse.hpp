// parse.hpp: matching call arguments against a callable's parameter table.
#pragma once

#include <Python.h>

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "binding/python_error.hpp"

namespace tarn::binding {

// One parameter of a callable. Its name is spelled only here: the parameter
// table, the text signature and the errors of its conversion all read it.
struct Parameter {
    std::string_view name;

    // Converts `object`, the argument given for this parameter (borrowed),
    // wrapping a failure with the parameter's name.
    template <class Convert>
    auto convert(PyObject* object, Convert&& convert) const;
};

// The constant description of a callable's parameters. Every parameter of
// our callables is required and may be given by position or by keyword.
struct FunctionDescription {
    std::string_view function_name;
    std::span<const Parameter> parameters;
    std::string_view class_name = {};  // empty for module-level functions

    // "Tree.push()" or "vector_add()".
    std::string display_name() const;
};

// Fills `slots` (one per parameter, all null on entry) with borrowed argument
// references from a vectorcall, or throws the TypeError of a wrong call.
void extract_arguments_fastcall(const FunctionDescription& description, PyObject* const* args,
                                Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> slots);

// The same for a positional tuple and an optional keyword dictionary.
void extract_arguments_tuple_dict(const FunctionDescription& description, PyObject* args,
                                  PyObject* kwargs, std::span<PyObject*> slots);

// The error to raise for a failed conversion of the named argument: an exact
// TypeError is re-raised as "argument '{name}': {text}", anything else as is.
PythonError argument_extraction_error(std::string_view argument_name, PythonError error);

template <class Convert>
auto Parameter::convert(PyObject* object, Convert&& convert) const {
    try {
        return convert(object);
    } catch (PythonError& error) {
        throw argument_extraction_error(name, std::move(error));
    }
}

}  // namespace tarn::binding
