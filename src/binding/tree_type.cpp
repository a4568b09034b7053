// tree_type.cpp: the Python class `Tree`: type object, slots, methods and borrow rules.
#include "binding/tree_type.hpp"

#include <Python.h>

#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "binding/call_frame.hpp"
#include "binding/convert.hpp"
#include "binding/once.hpp"
#include "binding/python_error.hpp"
#include "binding/signature.hpp"
#include "core/fault.hpp"

namespace tarn::binding {
namespace {

using planning::ChildLists;
using planning::Tree;

namespace parameter {
constexpr Parameter start{"start"};
constexpr Parameter node{"node"};
constexpr Parameter parent_index{"parent_index"};
constexpr Parameter child_index{"child_index"};
constexpr Parameter index{"index"};
}  // namespace parameter

constexpr auto new_signature = method_signature(tree_class, "__new__", parameter::start);
constexpr auto push_signature = method_signature(tree_class, "push", parameter::node);
constexpr auto connect_signature =
    method_signature(tree_class, "connect", parameter::parent_index, parameter::child_index);

struct TreeObject {
    PyObject_HEAD Tree tree;  // constructed in place once the instance is allocated
    // 0: no access; n > 0: n shared accesses; -1: one exclusive access.
    Py_ssize_t borrow_flag;
};

PyTypeObject* tree_type();

// ---- receiver and borrow rules ---------------------------------------------

TreeObject* receiver(PyObject* self) {
    if (!PyType_IsSubtype(Py_TYPE(self), tree_type())) {
        binding::raise_not_convertible(self, tree_class.name);
    }
    return reinterpret_cast<TreeObject*>(self);
}

[[noreturn]] void raise_runtime_error(std::string_view message) {
    throw PythonError::from_message(PyExc_RuntimeError, message);
}

// Shared access for reads: refused while a write is in progress.
class SharedBorrow {
public:
    explicit SharedBorrow(PyObject* self) : object_(receiver(self)) {
        if (object_->borrow_flag == -1) raise_runtime_error("Already mutably borrowed");
        ++object_->borrow_flag;
    }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;
    ~SharedBorrow() { --object_->borrow_flag; }
    const Tree& tree() const noexcept { return object_->tree; }

private:
    TreeObject* object_;
};

// Exclusive access for writes: refused while any other access is in progress.
class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(PyObject* self) : object_(receiver(self)) {
        if (object_->borrow_flag != 0) raise_runtime_error("Already borrowed");
        object_->borrow_flag = -1;
    }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
    ~ExclusiveBorrow() { object_->borrow_flag = 0; }
    Tree& tree() const noexcept { return object_->tree; }

private:
    TreeObject* object_;
};

// ---- allocation ---------------------------------------------------------------

// Allocates an instance of `type` (possibly a Python subclass) and moves the
// record in; returns null with the interpreter's error pending on failure.
PyObject* allocate_instance(PyTypeObject* type, Tree& tree) {
    allocfunc alloc = type->tp_alloc != nullptr ? type->tp_alloc : PyType_GenericAlloc;
    PyObject* self = alloc(type, 0);
    if (self == nullptr) return nullptr;
    auto* object = reinterpret_cast<TreeObject*>(self);
    std::construct_at(&object->tree, std::move(tree));
    object->borrow_flag = 0;
    return self;
}

// ---- reading the record -------------------------------------------------------

// Keeps the cyclic garbage collector from running while a whole tree is read
// back. Such a read makes two lists per node, and each allocation of a list
// counts towards a collection: left alone, the collector would run over the
// ever larger heap many times within one read. Pausing also means that no
// finalizer of unrelated garbage (arbitrary Python code) runs while the read
// holds its access to the tree. Only the previous state is restored, so a
// collector disabled by the caller stays disabled.
class CollectorPause {
public:
#if PY_VERSION_HEX >= 0x030A0000
    CollectorPause() noexcept : was_enabled_(PyGC_Disable() != 0) {}
    ~CollectorPause() {
        if (was_enabled_) PyGC_Enable();
    }
#else
    CollectorPause() noexcept = default;  // no public switch before 3.10
#endif
    CollectorPause(const CollectorPause&) = delete;
    CollectorPause& operator=(const CollectorPause&) = delete;

private:
    [[maybe_unused]] bool was_enabled_ = false;
};

Ref nodes_list(const Tree& tree) {
    const CollectorPause pause;
    return binding::build_list(tree.size(),
                               [&](std::size_t i) { return binding::to_python(tree.node(i)); });
}

Ref adjacency_list(const ChildLists& lists) {
    const CollectorPause pause;
    return binding::build_list(lists.starts.size() - 1,
                               [&](std::size_t p) { return binding::to_python(lists.of(p)); });
}

// ---- slots and methods ----------------------------------------------------------

PyObject* tree_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return binding::call_frame([&] {
        const Arguments<new_signature> arguments(args, kwargs);
        Tree tree(arguments.convert<parameter::start>(binding::to_float_vector));
        PyObject* self = allocate_instance(type, tree);
        if (self == nullptr) throw PythonError::fetch();
        return Ref::steal(self);
    });
}

void tree_dealloc(PyObject* self) {
    binding::call_frame_unraisable([&] {
        PyTypeObject* type = Py_TYPE(self);
        std::destroy_at(&reinterpret_cast<TreeObject*>(self)->tree);
        type->tp_free(self);
        Py_DECREF(type);  // every instance of a heap type holds its type
    });
}

PyObject* tree_push(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return binding::call_frame([&] {
        ExclusiveBorrow borrow(self);
        const Arguments<push_signature> arguments(args, nargs, kwnames);
        borrow.tree().push(arguments.convert<parameter::node>(binding::to_float_vector));
        return binding::none();
    });
}

PyObject* tree_connect(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return binding::call_frame([&] {
        ExclusiveBorrow borrow(self);
        const Arguments<connect_signature> arguments(args, nargs, kwnames);
        const Index parent = arguments.convert<parameter::parent_index>(binding::to_index);
        const Index child = arguments.convert<parameter::child_index>(binding::to_index);
        borrow.tree().connect(parent, child);
        return binding::none();
    });
}

PyObject* tree_subscript(PyObject* self, PyObject* key) {
    return binding::call_frame([&] {
        SharedBorrow borrow(self);
        const Index index = parameter::index.convert(key, binding::to_index);
        return binding::to_python(borrow.tree().node_at(index));
    });
}

Py_ssize_t tree_length(PyObject* self) {
    Py_ssize_t length = -1;
    Ref ok = Ref::steal(binding::call_frame([&] {
        SharedBorrow borrow(self);
        length = Py_ssize_t(borrow.tree().size());
        return binding::none();
    }));
    return ok ? length : -1;
}

// Iteration goes through this slot: an index past the last node ends it with
// IndexError, where the subscript itself would fault.
PyObject* tree_item(PyObject* self, Py_ssize_t index) {
    return binding::call_frame([&] {
        const TreeObject* object = receiver(self);
        if (object->borrow_flag != -1 && index >= 0 && std::size_t(index) >= object->tree.size()) {
            throw PythonError::from_message(PyExc_IndexError,
                                            std::string(tree_class.name) + " index out of range");
        }
        Ref key = binding::steal_or_raise(PyLong_FromSsize_t(index));
        return binding::steal_or_raise(PyObject_GetItem(self, key.get()));
    });
}

PyObject* tree_nodes(PyObject* self, void*) {
    return binding::call_frame([&] {
        SharedBorrow borrow(self);
        return nodes_list(borrow.tree());
    });
}

PyObject* tree_adjacency_list(PyObject* self, void*) {
    return binding::call_frame([&] {
        SharedBorrow borrow(self);
        return adjacency_list(borrow.tree().child_lists());
    });
}

// ---- the type object --------------------------------------------------------------

PyMethodDef tree_methods[] = {
    fastcall_method<push_signature>(tree_push),
    fastcall_method<connect_signature>(tree_connect),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef tree_getset[] = {
    {"nodes", tree_nodes, nullptr, "", nullptr},
    {"adjacency_list", tree_adjacency_list, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot tree_slots[] = {
    {Py_tp_doc, const_cast<char*>(text_signature<new_signature>.data())},
    {Py_tp_new, reinterpret_cast<void*>(tree_new)},
    {Py_mp_subscript, reinterpret_cast<void*>(tree_subscript)},
    {Py_mp_length, reinterpret_cast<void*>(tree_length)},
    {Py_sq_item, reinterpret_cast<void*>(tree_item)},
    {Py_tp_dealloc, reinterpret_cast<void*>(tree_dealloc)},
    {Py_tp_methods, tree_methods},
    {Py_tp_getset, tree_getset},
    {0, nullptr},
};

PyType_Spec tree_spec{
    .name = qualified_name<tree_class>.data(),
    .basicsize = int(sizeof(TreeObject)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .slots = tree_slots,
};

Ref create_tree_type() {
    PyObject* type = PyType_FromSpec(&tree_spec);
    if (type == nullptr) {
        PyErr_PrintEx(0);
        raise_fault("failed to create type object for " + std::string(tree_class.name));
    }
    return Ref::steal(type);
}

// Created on first use and kept for the process.
PyTypeObject* tree_type() {
    static constinit ProcessObject type;
    return reinterpret_cast<PyTypeObject*>(type.get(create_tree_type));
}

}  // namespace

Ref wrap_tree(Tree tree) {
    PyTypeObject* type = tree_type();
    PyObject* self = allocate_instance(type, tree);
    if (self == nullptr) {
        // Exhaustion is the caller's MemoryError, not a fault.
        raise_fault("called `Result::unwrap()` on an `Err` value: " +
                    PythonError::fetch_ordinary().render());
    }
    return Ref::steal(self);
}

}  // namespace tarn::binding
