// convert.cpp: Python objects to native values and back.
#include "binding/convert.hpp"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <type_traits>

#include "binding/buffer.hpp"
#include "binding/python_error.hpp"
#include "binding/signals.hpp"
#include "core/fault.hpp"

namespace tarn::binding {
namespace {

// A length reported by __len__ only pre-sizes storage: beyond this many
// elements the vector grows as items really arrive, so a sequence that
// claims to be huge cannot make us allocate for items it never yields.
constexpr std::size_t untrusted_reservation_limit = std::size_t(1) << 16;

// A native vector may not need more bytes than the largest signed machine word.
template <class Element>
void check_capacity(std::size_t elements) {
    constexpr auto max_bytes = std::size_t(std::numeric_limits<std::ptrdiff_t>::max());
    if (elements > max_bytes / sizeof(Element)) raise_fault("capacity overflow");
}

// The size hint of a sequence; a failing __len__ counts as no hint.
std::size_t size_hint(PyObject* sequence) {
    const Py_ssize_t size = PySequence_Size(sequence);
    if (size < 0) {
        discard_pending_error();
        return 0;
    }
    return std::size_t(size);
}

// Exact floats and ints become doubles without running any Python code, and
// give the same value and error as the interpreter's general conversion
// (for an int, PyFloat_AsDouble ends in PyLong_AsDouble as well). Anything
// else, subclasses and bool among them, takes the general path.
bool converts_without_python_code(PyObject* item) {
    return PyFloat_CheckExact(item) || PyLong_CheckExact(item);
}

// Whether an item read in place from a list must be held while it converts:
// Python code run by the conversion may remove it from the list.
template <class Element>
bool must_hold_list_item(PyObject* item) {
    if constexpr (std::is_same_v<Element, double>) return !converts_without_python_code(item);
    return true;
}

// Calls `visit(item)` for every item, in order, handling pending signals
// between items. Exact lists and tuples are read in place; the loop re-reads
// a list's size on each step because converting an item, or a signal
// handler, may run Python code that changes the list, exactly as the list
// iterator would see it.
template <class Out, class Visit>
void for_each_item(PyObject* obj, Out& out, Visit&& visit) {
    using Element = typename Out::value_type;
    SignalCheckpoint checkpoint;
    if (PyList_CheckExact(obj)) {
        out.reserve(std::size_t(PyList_GET_SIZE(obj)));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj); ++i) {
            PyObject* item = PyList_GET_ITEM(obj, i);
            if (must_hold_list_item<Element>(item)) {
                Ref held = Ref::borrow(item);
                visit(held.get());
            } else {
                visit(item);
            }
            checkpoint.step();
        }
        return;
    }
    if (PyTuple_CheckExact(obj)) {
        out.reserve(std::size_t(PyTuple_GET_SIZE(obj)));
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(obj); ++i) {
            visit(PyTuple_GET_ITEM(obj, i));
            checkpoint.step();
        }
        return;
    }
    if (!PySequence_Check(obj)) raise_not_convertible(obj, "Sequence");
    const std::size_t hint = size_hint(obj);
    check_capacity<Element>(hint);
    out.reserve(std::min(hint, untrusted_reservation_limit));
    Ref iterator = steal_or_raise(PyObject_GetIter(obj));
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        visit(item.get());
        checkpoint.step();
    }
    if (PyErr_Occurred()) throw PythonError::fetch();
}

}  // namespace

double to_double(PyObject* obj) {
    if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
    // Skips the float object that int.__float__ would create only to be read.
    const double value = PyLong_CheckExact(obj) ? PyLong_AsDouble(obj) : PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) throw PythonError::fetch();
    return value;
}

Index to_index(PyObject* obj) {
    Ref integer = steal_or_raise(PyNumber_Index(obj));
    const unsigned long long value = PyLong_AsUnsignedLongLong(integer.get());
    if (value == std::numeric_limits<unsigned long long>::max() && PyErr_Occurred()) {
        throw PythonError::fetch();
    }
    return Index(value);
}

FloatVector to_float_vector(PyObject* obj) {
    FloatVector values;
    read_float_vector(obj, values);
    return values;
}

void read_float_vector(PyObject* obj, FloatVector& values) {
    if (is_str(obj)) refuse_str();
    if (read_buffer_vector(obj, values)) return;
    values.clear();
    for_each_item(obj, values, [&](PyObject* item) { values.push_back(to_double(item)); });
}

FloatVectorList to_float_vectors(PyObject* obj) {
    if (is_str(obj)) refuse_str();
    FloatVectorList vectors;
    if (read_buffer_rows(obj, vectors)) return vectors;
    // Each item is read into the same scratch vector, then copied to the end
    // of the list: no allocation per item.
    FloatVector item_values;
    for_each_item(obj, vectors, [&](PyObject* item) {
        read_float_vector(item, item_values);
        vectors.push_back(item_values);
    });
    return vectors;
}

Ref to_python(double value) { return Ref::steal(expect_object(PyFloat_FromDouble(value))); }

Ref to_python_index(Index value) {
    return Ref::steal(expect_object(PyLong_FromUnsignedLongLong(value)));
}

Ref to_python(std::span<const double> values) {
    return build_list(values.size(), [&](std::size_t i) { return to_python(values[i]); });
}

Ref to_python(std::span<const Index> values) {
    return build_list(values.size(), [&](std::size_t i) { return to_python_index(values[i]); });
}

Ref none() { return Ref::borrow(Py_None); }

void refuse_str() { raise_type_error("Can't extract `str` to `Vec`"); }

}  // namespace tarn::binding
