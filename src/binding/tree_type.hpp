// tree_type.hpp: the Python class `Tree` over the native search tree.
#pragma once

#include "binding/ref.hpp"
#include "planning/tree.hpp"

namespace tarn::binding {

// Moves a native tree into a new instance of exactly `Tree`. A failed
// allocation is a fault.
Ref wrap_tree(planning::Tree tree);

}  // namespace tarn::binding
