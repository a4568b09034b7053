// vector_add.hpp: vector_add on Python operands.
#pragma once

#include <Python.h>

namespace tarn::binding {

// The method table entry of `vector_add(vector_a, vector_b)`, the sum of
// `vector_a` (a sequence of numbers) and `vector_b` (a number broadcast over
// it, or another sequence) as a new list of floats. A TypeError from
// converting `vector_a` names it ("argument 'vector_a': ..."); those of
// `vector_b` carry no prefix, and an empty `vector_a` leaves `vector_b`
// unread. It lives as long as the process.
extern PyMethodDef vector_add_method;

}  // namespace tarn::binding
