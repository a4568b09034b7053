// buffer.cpp: numbers read straight from the buffers of NumPy arrays, array.array and memoryview.
#include "binding/buffer.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <utility>

#include "binding/convert.hpp"
#include "binding/python_error.hpp"
#include "binding/signals.hpp"
#include "core/vector_arithmetic.hpp"

namespace tarn::binding {
namespace {

// Exact types only: a subclass may override how its items read. NumPy's
// array type is static, so a Python subclass of it is a heap type.
bool is_exact_ndarray(PyObject* obj) {
    const PyTypeObject* type = Py_TYPE(obj);
    return std::string_view(type->tp_name) == "numpy.ndarray" &&
           !PyType_HasFeature(Py_TYPE(obj), Py_TPFLAGS_HEAPTYPE);
}

bool is_exact_array_or_memoryview(PyObject* obj) {
    return Py_IS_TYPE(obj, &PyMemoryView_Type) ||
           std::string_view(Py_TYPE(obj)->tp_name) == "array.array";
}

// A buffer view, given back on every way out. While it is held, the exporter
// keeps its memory where it is (array.array and memoryview refuse to resize
// or release, NumPy to resize an array that anything else refers to), so a
// signal handler can change the values read but not move them. NumPy's
// resize(refcheck=False) waives that for every view, its own ones included.
class BufferView {
public:
    // A null `obj` gives a view that is not acquired.
    explicit BufferView(PyObject* obj) {
        if (obj == nullptr) return;
        // Failing here (a released memoryview, say) only means the general
        // path runs, and meets the same trouble in its own way.
        acquired_ = PyObject_GetBuffer(obj, &view_, PyBUF_RECORDS_RO) == 0;
        if (!acquired_) discard_pending_error();
    }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() {
        if (acquired_) PyBuffer_Release(&view_);
    }
    bool acquired() const noexcept { return acquired_; }
    const Py_buffer& get() const noexcept { return view_; }

private:
    Py_buffer view_{};
    bool acquired_ = false;
};

// Reads one item of a buffer as a double, as the interpreter's float
// conversion of that item (a Python int or float, or a NumPy scalar) does:
// integers rounded to nearest, single precision widened exactly.
using ReadItem = double (*)(const char*);

template <class Number>
double read_item(const char* bytes) {
    Number number;
    std::memcpy(&number, bytes, sizeof number);
    return static_cast<double>(number);
}

// The reader for a struct-module format of native order and size, or null.
ReadItem reader_for(const char* format, Py_ssize_t item_size) {
    std::string_view code = format == nullptr ? "B" : format;
    if (code.size() == 2 && code[0] == '@') code.remove_prefix(1);
    if (code.size() != 1) return nullptr;
    ReadItem reader = nullptr;
    std::size_t size = 0;
    const auto pick = [&]<class Number>(Number*) {
        reader = &read_item<Number>;
        size = sizeof(Number);
    };
    switch (code[0]) {
        case 'b':
            pick((signed char*)nullptr);
            break;
        case 'B':
            pick((unsigned char*)nullptr);
            break;
        case 'h':
            pick((short*)nullptr);
            break;
        case 'H':
            pick((unsigned short*)nullptr);
            break;
        case 'i':
            pick((int*)nullptr);
            break;
        case 'I':
            pick((unsigned int*)nullptr);
            break;
        case 'l':
            pick((long*)nullptr);
            break;
        case 'L':
            pick((unsigned long*)nullptr);
            break;
        case 'q':
            pick((long long*)nullptr);
            break;
        case 'Q':
            pick((unsigned long long*)nullptr);
            break;
        case 'n':
            pick((Py_ssize_t*)nullptr);
            break;
        case 'N':
            pick((std::size_t*)nullptr);
            break;
        case 'f':
            pick((float*)nullptr);
            break;
        case 'd':
            pick((double*)nullptr);
            break;
        default:
            return nullptr;
    }
    return std::size_t(item_size) == size ? reader : nullptr;
}

// Appends `count` items from `first`, `stride` bytes apart, counting each
// as a step of `checkpoint`.
void append_items(ReadItem read, const char* first, Py_ssize_t count, Py_ssize_t stride,
                  FloatVector& values, SignalCheckpoint& checkpoint) {
    for (Py_ssize_t i = 0; i < count; ++i) {
        values.push_back(read(first + i * stride));
        checkpoint.step();
    }
}

// The items of a one-dimensional buffer of a format read_item knows, or
// nothing (readable() false) for any other object.
class VectorBuffer {
public:
    explicit VectorBuffer(PyObject* obj)
        : buffer_(is_exact_ndarray(obj) || is_exact_array_or_memoryview(obj) ? obj : nullptr) {
        if (!buffer_.acquired()) return;
        const Py_buffer& view = buffer_.get();
        read_ = reader_for(view.format, view.itemsize);
        if (view.ndim != 1) read_ = nullptr;
    }
    bool readable() const noexcept { return read_ != nullptr; }
    std::size_t size() const noexcept { return std::size_t(buffer_.get().shape[0]); }
    double operator[](std::size_t i) const noexcept {
        const Py_buffer& view = buffer_.get();
        return read_(static_cast<const char*>(view.buf) + Py_ssize_t(i) * view.strides[0]);
    }
    // The items themselves, when they are aligned doubles side by side; else null.
    const double* packed_doubles() const noexcept {
        const Py_buffer& view = buffer_.get();
        const bool packed = read_ == &read_item<double> && view.strides[0] == sizeof(double) &&
                            reinterpret_cast<std::uintptr_t>(view.buf) % alignof(double) == 0;
        return packed ? static_cast<const double*>(view.buf) : nullptr;
    }

private:
    BufferView buffer_;
    ReadItem read_ = nullptr;
};

}  // namespace

bool read_buffer_vector(PyObject* obj, FloatVector& values) {
    const VectorBuffer buffer(obj);
    if (!buffer.readable()) return false;
    values.clear();
    values.reserve(buffer.size());
    for_each_index_checking_signals(buffer.size(),
                                    [&](std::size_t i) { values.push_back(buffer[i]); });
    return true;
}

Ref try_add_buffers(PyObject* vector_a, PyObject* vector_b) {
    const VectorBuffer a(vector_a);
    if (!a.readable()) return Ref();
    if (!reads_second_operand(a.size())) return Ref::steal(expect_object(PyList_New(0)));
    const VectorBuffer b(vector_b);
    const std::optional<double> scalar = b.readable() ? std::nullopt : plain_number(vector_b);
    if (!b.readable() && !scalar) return Ref();
    const std::size_t length = sum_length(a.size(), b.readable() ? b.size() : broadcast_length);
    // Running out of memory raises MemoryError at once: the general path
    // would need more memory still.
    ListUnderConstruction sum(length);
    const auto fill = [&](auto&& item_a, auto&& item_b) {
        for_each_index_checking_signals(length, [&](std::size_t i) {
            sum.set(i, steal_or_raise(PyFloat_FromDouble(item_a(i) + item_b(i))));
        });
    };
    // Packed doubles, the common case, are read straight; any other layout
    // or format through the item reader, with the same values.
    const double* packed_a = a.packed_doubles();
    const double* packed_b = scalar ? nullptr : b.packed_doubles();
    if (packed_a && (scalar || packed_b)) {
        fill([&](std::size_t i) { return packed_a[i]; },
             [&](std::size_t i) { return scalar ? *scalar : packed_b[i]; });
    } else {
        fill([&](std::size_t i) { return a[i]; },
             [&](std::size_t i) { return scalar ? *scalar : b[i]; });
    }
    return std::move(sum).complete();
}

bool buffer_of_no_single_number(PyObject* obj) {
    if (is_exact_array_or_memoryview(obj)) return true;
    if (!is_exact_ndarray(obj)) return false;
    const BufferView buffer(obj);
    if (!buffer.acquired() || buffer.get().ndim == 0) return false;
    return buffer.get().len != buffer.get().itemsize;
}

bool read_buffer_rows(PyObject* obj, FloatVectorList& rows) {
    if (!is_exact_ndarray(obj)) return false;
    const BufferView buffer(obj);
    if (!buffer.acquired()) return false;
    const Py_buffer& view = buffer.get();
    const ReadItem read = reader_for(view.format, view.itemsize);
    if (view.ndim != 2 || read == nullptr) return false;
    const Py_ssize_t count = view.shape[0], length = view.shape[1];
    rows.reserve(std::size_t(count), std::size_t(count * length));
    FloatVector row;
    row.reserve(std::size_t(length));
    SignalCheckpoint checkpoint;
    for (Py_ssize_t r = 0; r < count; ++r) {
        row.clear();
        append_items(read, static_cast<const char*>(view.buf) + r * view.strides[0], length,
                     view.strides[1], row, checkpoint);
        rows.push_back(row);
        checkpoint.step();  // rows of no items are steps too
    }
    return true;
}

}  // namespace tarn::binding
