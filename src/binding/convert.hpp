// convert.hpp: Python objects to native values and back.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "binding/python_error.hpp"
#include "binding/ref.hpp"
#include "binding/signals.hpp"
#include "core/float_vector_list.hpp"
#include "core/types.hpp"

namespace tarn::binding {

// Python to native. Each throws PythonError on failure; a reported length
// past what native storage can hold is the fault "capacity overflow", and
// exhausted memory std::bad_alloc.
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

// A new list made at its final length, `count` empty slots filled by
// position. Until it is complete it is hidden from the garbage collector:
// code that a signal handler runs while it fills must not find its empty
// slots through gc.get_objects(). Dropped unfinished, it releases the items
// it holds.
class ListUnderConstruction {
public:
    explicit ListUnderConstruction(std::size_t count)
        : list_(Ref::steal(expect_object(PyList_New(Py_ssize_t(count))))) {
        PyObject_GC_UnTrack(list_.get());
    }
    void set(std::size_t i, Ref item) noexcept {
        PyList_SET_ITEM(list_.get(), Py_ssize_t(i), item.release());
    }
    // Once every slot is set.
    Ref complete() && {
        PyObject_GC_Track(list_.get());
        return std::move(list_);
    }

private:
    Ref list_;
};

// A new list of `count` items, `item(i)` (a Ref each) at position i,
// handling pending signals every interrupt_check_interval items.
template <class Item>
Ref build_list(std::size_t count, Item&& item) {
    ListUnderConstruction list(count);
    SignalCheckpoint checkpoint;
    for (std::size_t i = 0; i < count; ++i) {
        list.set(i, item(i));
        checkpoint.step();
    }
    return std::move(list).complete();
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

// The TypeError of a str given for a vector of numbers: a str is a sequence,
// but its characters are never read as numbers.
[[noreturn]] void refuse_str();

}  // namespace tarn::binding
