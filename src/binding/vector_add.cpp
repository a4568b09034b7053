// vector_add.cpp: vector_add's operands, read in place when they are plain lists of numbers.
#include "binding/vector_add.hpp"

#include <optional>
#include <span>
#include <utility>

#include "binding/buffer.hpp"
#include "binding/call_frame.hpp"
#include "binding/convert.hpp"
#include "binding/parse.hpp"
#include "binding/python_error.hpp"
#include "binding/signals.hpp"
#include "binding/signature.hpp"
#include "core/vector_arithmetic.hpp"

namespace tarn::binding {
namespace {

namespace parameter {
constexpr Parameter vector_a{"vector_a"};
constexpr Parameter vector_b{"vector_b"};
}  // namespace parameter

constexpr auto vector_add_signature =
    function_signature("vector_add", parameter::vector_a, parameter::vector_b);

// Whether the interpreter's float conversion of `operand` is bound to fail
// without running Python code: exact lists and tuples offer neither
// __float__ nor __index__, so trying would only build a TypeError to drop.
bool certainly_not_a_number(PyObject* operand) {
    return PyList_CheckExact(operand) || PyTuple_CheckExact(operand) ||
           buffer_of_no_single_number(operand);
}

// The second operand is a number when the interpreter can make a float of it,
// and otherwise a sequence of numbers; its errors are raised unwrapped.
FloatVector add_second_operand(FloatVector a, PyObject* operand) {
    if (!certainly_not_a_number(operand)) {
        const double scalar = PyFloat_AsDouble(operand);
        if (!(scalar == -1.0 && PyErr_Occurred())) return add_scalar(std::move(a), scalar);
        discard_pending_error();
        if (is_str(operand)) refuse_str();
    }
    return add_elementwise(std::move(a), to_float_vector(operand));
}

// The common call, exact lists (or tuples) of exact floats or ints, or one
// such list and such a number, is added in one pass straight into the result
// list, with no native copy of either operand. Reading exact floats and ints
// runs no Python code, so the shortcut cannot be observed: when an item of any
// other kind turns up, or an int too large for a double, the partial result
// is dropped and the general path starts afresh, raising any error in its
// own order. Running out of memory raises MemoryError at once: the general
// path would need more memory still.
struct OperandsInPlace {
    std::span<PyObject* const> a;
    std::span<PyObject* const> b;  // empty when a number is broadcast
    PyObject* scalar = nullptr;    // the broadcast number, borrowed

    OperandsInPlace(PyObject* vector_a, PyObject* vector_b) : a(items_in_place(vector_a)) {
        if (PyFloat_CheckExact(vector_b) || PyLong_CheckExact(vector_b)) {
            scalar = vector_b;
        } else {
            b = items_in_place(vector_b);
        }
    }
    std::size_t result_length() const {
        return sum_length(a.size(), scalar ? broadcast_length : b.size());
    }
    PyObject* b_item(std::size_t i) const { return scalar ? scalar : b[i]; }
};

// The operands read in place, afresh after every signal check: a handler
// may have resized the lists or replaced items. Items already read keep the
// values read; if the sum's length has changed, the shortcut ends.
class OperandReader {
public:
    OperandReader(PyObject* vector_a, PyObject* vector_b)
        : vector_a_(vector_a), vector_b_(vector_b), operands_(vector_a, vector_b) {}
    const OperandsInPlace& operands() const noexcept { return operands_; }
    // Counts one item read; false when the shortcut must end.
    bool step(std::size_t length) {
        if (!checkpoint_.step()) return true;
        operands_ = OperandsInPlace(vector_a_, vector_b_);
        return operands_.result_length() == length;
    }

private:
    PyObject* vector_a_;  // borrowed, like the two below
    PyObject* vector_b_;
    OperandsInPlace operands_;
    SignalCheckpoint checkpoint_;
};

// The general path converts the surplus of the longer operand too, so the
// shortcut holds only if that surplus is plain numbers as well.
bool surplus_is_plain(OperandReader& reader, std::size_t length) {
    for (std::size_t i = length; i < reader.operands().a.size(); ++i) {
        if (!plain_number(reader.operands().a[i]) || !reader.step(length)) return false;
    }
    for (std::size_t i = length; i < reader.operands().b.size(); ++i) {
        if (!plain_number(reader.operands().b[i]) || !reader.step(length)) return false;
    }
    return true;
}

// The sum by the shortcut above, or nothing when the general path must run.
// An error raised while reading may have run the garbage collector, so after
// a failed read nothing more is read from the operands.
Ref try_add_plain_numbers(PyObject* vector_a, PyObject* vector_b) {
    const std::size_t length = OperandsInPlace(vector_a, vector_b).result_length();
    if (length == 0) return Ref();
    ListUnderConstruction sum(length);
    // Creating a list may run the garbage collector, and finalizers with it,
    // which could change the operands: their items are taken only now.
    OperandReader reader(vector_a, vector_b);
    if (reader.operands().result_length() != length || !surplus_is_plain(reader, length)) {
        return Ref();
    }
    for (std::size_t i = 0; i < length; ++i) {
        const std::optional<double> x = plain_number(reader.operands().a[i]);
        if (!x) return Ref();
        const std::optional<double> y = plain_number(reader.operands().b_item(i));
        if (!y) return Ref();
        sum.set(i, steal_or_raise(PyFloat_FromDouble(*x + *y)));
        if (!reader.step(length)) return Ref();
    }
    return std::move(sum).complete();
}

// Both operands are borrowed.
Ref vector_add(PyObject* vector_a, PyObject* vector_b) {
    if (Ref sum = try_add_plain_numbers(vector_a, vector_b)) return sum;
    if (Ref sum = try_add_buffers(vector_a, vector_b)) return sum;
    FloatVector a = parameter::vector_a.convert(vector_a, to_float_vector);
    const Ref b = Ref::borrow(vector_b);
    if (!reads_second_operand(a.size())) return to_python(FloatVector{});
    return to_python(add_second_operand(std::move(a), b.get()));
}

PyObject* vector_add_call(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_frame([&] {
        const Arguments<vector_add_signature> arguments(args, nargs, kwnames);
        return vector_add(arguments.get<parameter::vector_a>(),
                          arguments.get<parameter::vector_b>());
    });
}

}  // namespace

PyMethodDef vector_add_method = fastcall_method<vector_add_signature>(vector_add_call);

}  // namespace tarn::binding
