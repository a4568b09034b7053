// buffer.hpp: numbers read straight from the buffers of NumPy arrays, array.array and memoryview.
#pragma once

#include <Python.h>

#include "binding/ref.hpp"
#include "core/float_vector_list.hpp"
#include "core/types.hpp"

namespace tarn::binding {

// The float-vector conversion of an exact numpy.ndarray, array.array or
// memoryview of one dimension and a native integer or floating format, read
// from its buffer: the values the item-by-item conversion would give, without
// a Python object per item. Returns false, with `values` empty, for every
// other object, subclasses of those types included (they may override items).
// A signal handler run meanwhile may resize or replace the buffer: it is
// viewed anew after every signal check, and read again from the start when
// its length changed.
bool read_buffer_vector(PyObject* obj, FloatVector& values);

// The same for the nested conversion of an exact two-dimensional
// numpy.ndarray, whose items are its rows; false leaves `rows` empty.
bool read_buffer_rows(PyObject* obj, FloatVectorList& rows);

// Whether the interpreter's float conversion of `obj` is bound to fail: an
// exact array.array or memoryview (neither offers __float__), or an exact
// numpy.ndarray of other than one element (NumPy refuses those with a
// TypeError). Asking would only build an exception to drop.
bool buffer_of_no_single_number(PyObject* obj);

// vector_add of a one-dimensional buffer that read_buffer_vector accepts and
// either another such buffer or an exact float or int, computed straight into
// the result list: what the general path returns, without the native copies.
// A null Ref when the general path must run (other operands, an int too large
// for a double, an operand whose length a signal handler changed); nothing has
// been raised then. Running out of memory raises MemoryError.
Ref try_add_buffers(PyObject* vector_a, PyObject* vector_b);

}  // namespace tarn::binding
