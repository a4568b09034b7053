// once.hpp: a Python object made on first need and kept for the rest of the process.
#pragma once

#include <Python.h>

#include "binding/ref.hpp"

namespace tarn::binding {

// Holds one object (a class, as a rule) from its first need until the
// process ends; its reference is never released. Guarded by the interpreter
// lock rather than a C++ static guard: making the object can run Python code
// that lets another thread in, which would deadlock on a static guard and
// here may make a second object. The first one stored stays, and any later
// one is released, so every caller sees the same object.
class ProcessObject {
public:
    // The object, made by `make()` (which returns a Ref or throws) when there
    // is none yet. Borrowed.
    template <class Make>
    PyObject* get(Make&& make) {
        if (object_ == nullptr) {
            Ref made = make();
            if (object_ == nullptr) object_ = made.release();  // else another thread's stays
        }
        return object_;
    }

private:
    PyObject* object_ = nullptr;  // owned
};

}  // namespace tarn::binding
