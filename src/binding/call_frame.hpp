// call_frame.hpp: the one place where native failures become Python exceptions.
#pragma once

#include <Python.h>

#include "binding/ref.hpp"

namespace tarn::binding {

// Called inside a catch block: makes the exception being handled the
// interpreter's current exception (Python errors as they are, faults as
// PanicException, exhausted memory as MemoryError, refused values as
// ValueError). A failure while doing so ends the process.
void translate_current_exception() noexcept;

// Runs `body` (which returns a Ref) for an entry from the interpreter: the new
// reference on success, null with the current exception set on failure.
template <class Body>
PyObject* call_frame(Body&& body) noexcept {
    try {
        Ref result = body();
        return result.release();
    } catch (...) {
        translate_current_exception();
    }
    return nullptr;
}

// For slots that cannot report failure (deallocation): a failure goes to the
// interpreter's unraisable-exception hook.
template <class Body>
void call_frame_unraisable(Body&& body) noexcept {
    try {
        body();
    } catch (...) {
        translate_current_exception();
        PyErr_WriteUnraisable(nullptr);
    }
}

}  // namespace tarn::binding
