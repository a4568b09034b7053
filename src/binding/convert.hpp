// convert.hpp: Python objects to native values and back.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "binding/python_error.hpp"
#include "binding/ref.hpp"
#include "binding/signals.hpp"
#include "core/float_vector_list.hpp"
#include "core/types.hpp"

namespace tarn::binding {

// Python to native. Each throws PythonError (or a fault) on failure.
double to_double(PyObject* obj);
Index to_index(PyObject* obj);
FloatVector to_float_vector(PyObject* obj);
// The same into `values`, replacing what it held but reusing its storage.
void read_float_vector(PyObject* obj, FloatVector& values);
FloatVectorList to_float_vectors(PyObject* obj);

// The value of an exact float or int, or nothing for any other object and for
// an int too large for a double, whose error is dropped here. Reading these
// runs no Python code.
inline std::optional<double> plain_number(PyObject* item) {
    if (PyFloat_CheckExact(item)) return PyFloat_AS_DOUBLE(item);
    if (!PyLong_CheckExact(item)) return std::nullopt;
    const double value = PyLong_AsDouble(item);
    if (value == -1.0 && PyErr_Occurred()) {
        discard_pending_error();
        return std::nullopt;
    }
    return value;
}

// Native to Python: always new objects, owned by the caller.
Ref to_python(double value);
Ref to_python_index(Index value);
Ref to_python(std::span<const double> values);
Ref to_python(std::span<const Index> values);
Ref none();

// A new list of `count` items, made at its final length and filled by
// position with `item(i)` (a Ref each), handling pending signals every
// signal_check_interval items. A list that long, or one whose items may
// check for signals themselves (`items_check_signals`), is hidden from the
// garbage collector until it is full: a handler's code must not find its
// empty slots through gc.get_objects().
template <class Item>
Ref build_list(std::size_t count, Item&& item, bool items_check_signals = false) {
    Ref list = Ref::steal(expect_object(PyList_New(Py_ssize_t(count))));
    const bool hidden = items_check_signals || count >= signal_check_interval;
    if (hidden) PyObject_GC_UnTrack(list.get());
    SignalCheckpoint checkpoint;
    for (std::size_t i = 0; i < count; ++i) {
        PyList_SET_ITEM(list.get(), Py_ssize_t(i), item(i).release());
        checkpoint.step();
    }
    if (hidden) PyObject_GC_Track(list.get());
    return list;
}

// The items of an exact list or tuple, read in place; empty for any other
// object. The span is valid only while no Python code runs: code could
// resize the list.
inline std::span<PyObject* const> items_in_place(PyObject* obj) {
    if (!PyList_CheckExact(obj) && !PyTuple_CheckExact(obj)) return {};
    return {PySequence_Fast_ITEMS(obj), std::size_t(PySequence_Fast_GET_SIZE(obj))};
}

// Whether obj's type carries the str flag (str and its subclasses).
inline bool is_str(PyObject* obj) {
    return PyType_HasFeature(Py_TYPE(obj), Py_TPFLAGS_UNICODE_SUBCLASS);
}

}  // namespace tarn::binding
