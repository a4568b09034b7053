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
// or release, NumPy to resize an array that anything else refers to), so
// code that runs meanwhile can change the values read but not move them.
// NumPy's resize(refcheck=False) waives that for every view, its own ones
// included: after Python code may have run, the view is taken anew.
class BufferView {
public:
    // A null `obj` gives a view that is not acquired. `obj` is borrowed and
    // must outlive the view.
    explicit BufferView(PyObject* obj) : obj_(obj) { acquire(); }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() { release(); }
    bool acquired() const noexcept { return acquired_; }
    const Py_buffer& get() const noexcept { return view_; }
    // Gives the view back and takes a new one, which describes the memory as
    // it is now: every pointer taken from the old view is stale.
    void reacquire() {
        release();
        acquire();
    }

private:
    void acquire() {
        if (obj_ == nullptr) return;
        // Failing here (a released memoryview, say) only means the general
        // path runs, and meets the same trouble in its own way.
        acquired_ = PyObject_GetBuffer(obj_, &view_, PyBUF_RECORDS_RO) == 0;
        if (!acquired_) discard_pending_error();
    }
    void release() noexcept {
        if (acquired_) PyBuffer_Release(&view_);
        acquired_ = false;
    }

    PyObject* obj_;
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

// The items of a one-dimensional buffer of a format read_item knows, or
// nothing (readable() false) for any other object.
class VectorBuffer {
public:
    explicit VectorBuffer(PyObject* obj)
        : buffer_(is_exact_ndarray(obj) || is_exact_array_or_memoryview(obj) ? obj : nullptr) {
        describe();
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
    // Appends items [begin, end) to `values`, which has room for them.
    void append(std::size_t begin, std::size_t end, FloatVector& values) const {
        if (const double* packed = packed_doubles()) {
            values.insert(values.end(), packed + begin, packed + end);
        } else {
            for (std::size_t i = begin; i < end; ++i) values.push_back((*this)[i]);
        }
    }
    // Takes the view anew after Python code may have run: whether the items
    // are still readable and as many. Their memory may have moved, so every
    // pointer taken before is stale either way.
    bool reacquire() {
        const std::size_t count = size();
        buffer_.reacquire();
        describe();
        return readable() && size() == count;
    }

private:
    void describe() {
        read_ = nullptr;
        if (!buffer_.acquired()) return;
        const Py_buffer& view = buffer_.get();
        if (view.ndim == 1) read_ = reader_for(view.format, view.itemsize);
    }

    BufferView buffer_;
    ReadItem read_ = nullptr;
};

// The end of the block of at most interrupt_check_interval items that starts
// at `begin` among `count`; signals are checked where a block ends on a
// multiple of the interval, as a checkpoint counting the items would.
std::size_t block_end(std::size_t begin, std::size_t count) {
    return begin + std::min(count - begin, interrupt_check_interval);
}

bool checks_signals_after(std::size_t end, std::size_t count) {
    return end < count && end % interrupt_check_interval == 0;
}

// Every item of `buffer` into `values`, or false should a signal handler
// change how many items there are (values then holds some of them).
bool read_all_items(VectorBuffer& buffer, FloatVector& values) {
    values.clear();
    values.reserve(buffer.size());
    for (std::size_t begin = 0; begin < buffer.size();) {
        const std::size_t end = block_end(begin, buffer.size());
        buffer.append(begin, end, values);
        begin = end;
        if (checks_signals_after(end, buffer.size())) {
            check_signals();
            if (!buffer.reacquire()) return false;
        }
    }
    return true;
}

// The sum of the items [begin, end) of `a` and those of `b` or `scalar`, into
// the same places of `sum`.
void add_block(const VectorBuffer& a, const VectorBuffer& b, std::optional<double> scalar,
               std::size_t begin, std::size_t end, ListUnderConstruction& sum) {
    const auto fill = [&](auto&& item_a, auto&& item_b) {
        for (std::size_t i = begin; i < end; ++i) {
            sum.set(i, steal_or_raise(PyFloat_FromDouble(item_a(i) + item_b(i))));
        }
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
}

// One row-major two-dimensional buffer of a format read_item knows, read
// through a view that is taken anew wherever Python code may have run.
class RowBuffer {
public:
    explicit RowBuffer(PyObject* obj) : buffer_(obj) { describe(); }
    bool readable() const noexcept { return read_ != nullptr; }
    std::size_t rows() const noexcept { return std::size_t(buffer_.get().shape[0]); }
    std::size_t columns() const noexcept { return std::size_t(buffer_.get().shape[1]); }
    double operator()(std::size_t row, std::size_t column) const noexcept {
        const Py_buffer& view = buffer_.get();
        return read_(static_cast<const char*>(view.buf) + Py_ssize_t(row) * view.strides[0] +
                     Py_ssize_t(column) * view.strides[1]);
    }
    // As VectorBuffer::reacquire, for rows and columns.
    bool reacquire() {
        const std::size_t row_count = rows(), column_count = columns();
        buffer_.reacquire();
        describe();
        return readable() && rows() == row_count && columns() == column_count;
    }

private:
    void describe() {
        read_ = nullptr;
        if (!buffer_.acquired()) return;
        const Py_buffer& view = buffer_.get();
        if (view.ndim == 2) read_ = reader_for(view.format, view.itemsize);
    }

    BufferView buffer_;
    ReadItem read_ = nullptr;
};

// Every row of `buffer` into `rows`, or false should a signal handler change
// how many rows or columns there are (rows then holds some of them).
bool read_all_rows(RowBuffer& buffer, FloatVectorList& rows) {
    rows = FloatVectorList();
    rows.reserve(buffer.rows(), buffer.rows() * buffer.columns());
    FloatVector row;
    row.reserve(buffer.columns());
    SignalCheckpoint checkpoint;
    const auto step = [&] { return !checkpoint.step() || buffer.reacquire(); };
    for (std::size_t r = 0; r < buffer.rows(); ++r) {
        row.clear();
        for (std::size_t c = 0; c < buffer.columns(); ++c) {
            row.push_back(buffer(r, c));
            if (!step()) return false;
        }
        rows.push_back(row);
        if (!step()) return false;  // rows of no items are steps too
    }
    return true;
}

}  // namespace

// A handler that resizes the buffer being read makes the reading start
// again, over the items the buffer then holds.
bool read_buffer_vector(PyObject* obj, FloatVector& values) {
    VectorBuffer buffer(obj);
    while (buffer.readable()) {
        if (read_all_items(buffer, values)) return true;
    }
    values.clear();
    return false;
}

Ref try_add_buffers(PyObject* vector_a, PyObject* vector_b) {
    VectorBuffer a(vector_a);
    if (!a.readable()) return Ref();
    if (!reads_second_operand(a.size())) return Ref::steal(expect_object(PyList_New(0)));
    VectorBuffer b(vector_b);
    const std::optional<double> scalar = b.readable() ? std::nullopt : plain_number(vector_b);
    if (!b.readable() && !scalar) return Ref();
    const std::size_t length = sum_length(a.size(), b.readable() ? b.size() : broadcast_length);
    // Running out of memory raises MemoryError at once: the general path
    // would need more memory still.
    ListUnderConstruction sum(length);
    // Creating a list may run the garbage collector, and finalizers with it,
    // and so may every signal check: after each, the operands are viewed
    // anew, and should either have changed its length, the general path
    // reads them afresh.
    const auto view_anew = [&] { return a.reacquire() && (scalar || b.reacquire()); };
    if (!view_anew()) return Ref();
    for (std::size_t begin = 0; begin < length;) {
        const std::size_t end = block_end(begin, length);
        add_block(a, b, scalar, begin, end, sum);
        begin = end;
        if (checks_signals_after(end, length)) {
            check_signals();
            if (!view_anew()) return Ref();
        }
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
    RowBuffer buffer(obj);
    while (buffer.readable()) {
        if (read_all_rows(buffer, rows)) return true;
    }
    rows = FloatVectorList();
    return false;
}

}  // namespace tarn::binding
