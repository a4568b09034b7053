// vector_add.hpp: vector_add on Python operands.
#pragma once

#include <Python.h>

#include "binding/ref.hpp"

namespace tarn::binding {

// The sum of `vector_a` (a sequence of numbers) and `vector_b` (a number
// broadcast over it, or another sequence), as a new list of floats. Both
// operands are borrowed; errors name the argument they came from.
Ref vector_add(PyObject* vector_a, PyObject* vector_b);

}  // namespace tarn::binding
