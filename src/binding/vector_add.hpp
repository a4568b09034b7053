// vector_add.hpp: vector_add on Python operands.
#pragma once

#include <Python.h>

namespace tarn::binding {

// The method table entry of `vector_add(vector_a, vector_b)`, the sum of
// `vector_a` (a sequence of numbers) and `vector_b` (a number broadcast over
// it, or another sequence) as a new list of floats; errors name the argument
// they came from. It lives as long as the process.
extern PyMethodDef vector_add_method;

}  // namespace tarn::binding
