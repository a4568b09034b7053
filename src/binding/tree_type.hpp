// tree_type.hpp: the Python class `Tree` over the native search tree.
#pragma once

#include "binding/ref.hpp"
#include "binding/signature.hpp"
#include "planning/tree.hpp"

namespace tarn::binding {

// The class as Python sees it. Its module is the one that holds the planner,
// which returns its instances: lib.cpp names that module from here.
inline constexpr ClassDescription tree_class{.module_name = "rrt", .name = "Tree"};

// Moves a native tree into a new instance of exactly `Tree`. Running out of
// memory raises MemoryError; any other failure to allocate the instance is a
// fault.
Ref wrap_tree(planning::Tree tree);

}  // namespace tarn::binding
