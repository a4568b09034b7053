// panic.hpp: the PanicException class through which faults reach Python.
#pragma once

#include <Python.h>

#include <string>

#include "binding/python_error.hpp"

namespace tarn::binding {

// The process-wide PanicException class (borrowed; lives until exit),
// created on first need.
PyObject* panic_type();

// The PanicException error carrying a fault's message.
PythonError panic_error(const std::string& message);

// Writes a fault-style report and ends the process: for failures that cannot
// be turned into a Python exception at all.
[[noreturn]] void abort_with_report(const char* message) noexcept;

}  // namespace tarn::binding
