// python_error.hpp: Python exceptions travelling through native code as C++ exceptions.
#pragma once

#include <Python.h>

#include <string>
#include <string_view>

#include "binding/ref.hpp"

namespace tarn::binding {

// A Python exception on its way to the call frame: either one created here
// (class plus an unnormalised argument, so the interpreter builds the
// instance) or a (type, value, traceback) triple fetched from the interpreter.
class PythonError {
public:
    PythonError(Ref type, Ref value, Ref traceback) noexcept
        : type_(std::move(type)), value_(std::move(value)), traceback_(std::move(traceback)) {}

    // An exception of class `type` whose single argument is `message`.
    static PythonError from_message(PyObject* type, std::string_view message);

    // Takes the interpreter's pending exception. A pending PanicException is
    // resumed as a fault instead; no pending exception at all gives
    // SystemError "attempted to fetch exception but none was set".
    static PythonError fetch();
    // The same, for a caller that means to drop or report the error: one
    // that is not ordinary is thrown instead.
    static PythonError fetch_ordinary();

    PyObject* type() const noexcept { return type_.get(); }
    // Whether a documented fallback may drop this error: only an Exception
    // other than MemoryError. An interrupt, an exit (anything that is not an
    // Exception) or exhaustion always reaches the caller.
    bool is_ordinary() const noexcept;
    // Normalises in place and returns the exception instance (borrowed).
    PyObject* instance();
    // Hands the exception to the interpreter as the current one.
    void restore() && noexcept;
    // "PyErr { type: ..., value: ..., traceback: ... }", used in fault messages.
    std::string render();

private:
    Ref type_;
    Ref value_;
    Ref traceback_;
};

// Turns a failed interpreter call into a PythonError at once.
inline PyObject* raise_if_null(PyObject* result) {
    if (result == nullptr) throw PythonError::fetch();
    return result;
}
inline Ref steal_or_raise(PyObject* result) { return Ref::steal(raise_if_null(result)); }

// Drops a pending exception that the caller decided to ignore, if it is
// ordinary (see PythonError::is_ordinary); any other one is thrown instead,
// and a pending PanicException is resumed.
void discard_pending_error();

// For interpreter calls that must not fail: prints the pending exception and
// raises the fault "Python API call failed". Exhaustion, an interrupt or an
// exit is not a fault: it is thrown as the PythonError it is.
[[noreturn]] void python_api_call_failed();
inline PyObject* expect_object(PyObject* result) {
    if (result == nullptr) python_api_call_failed();
    return result;
}

[[noreturn]] void raise_type_error(std::string_view message);
// TypeError "'{type}' object cannot be converted to '{target}'".
[[noreturn]] void raise_not_convertible(PyObject* obj, std::string_view target);

}  // namespace tarn::binding
