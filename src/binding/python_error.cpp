// python_error.cpp: fetching, building, rendering and restoring Python exceptions.
#include "binding/python_error.hpp"

#include <cstdio>

#include "binding/panic.hpp"
#include "binding/text.hpp"
#include "core/fault.hpp"

namespace tarn::binding {
namespace {

constexpr const char* unwrapped_panic_message = "Unwrapped panic from Python code";

// A PanicException coming back from Python code resumes the fault: its
// traceback is printed, and the fault unwinds without a second report.
[[noreturn]] void resume_panic(Ref type, Ref value, Ref traceback) {
    std::string message = unwrapped_panic_message;
    if (value && PyUnicode_Check(value.get())) message = str_to_utf8_lossy(value.get());
    PySys_WriteStderr(
        "tarn: resuming a fault raised in native code after PanicException was fetched "
        "from Python\n");
    PySys_WriteStderr("Python stack trace below:\n");
    PyErr_Restore(type.release(), value.release(), traceback.release());
    PyErr_PrintEx(0);
    resume_fault(std::move(message));
}

}  // namespace

PythonError PythonError::from_message(PyObject* type, std::string_view message) {
    Ref text = Ref::steal(
        expect_object(PyUnicode_FromStringAndSize(message.data(), Py_ssize_t(message.size()))));
    return PythonError(Ref::borrow(type), std::move(text), Ref());
}

PythonError PythonError::fetch() {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    Ref owned_type = Ref::steal(type), owned_value = Ref::steal(value),
        owned_traceback = Ref::steal(traceback);
    if (!owned_type) {
        return from_message(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    if (owned_type.get() == panic_type()) {
        resume_panic(std::move(owned_type), std::move(owned_value), std::move(owned_traceback));
    }
    return PythonError(std::move(owned_type), std::move(owned_value), std::move(owned_traceback));
}

PyObject* PythonError::instance() {
    PyObject* type = type_.release();
    PyObject* value = value_.release();
    PyObject* traceback = traceback_.release();
    PyErr_NormalizeException(&type, &value, &traceback);
    type_ = Ref::steal(type);
    value_ = Ref::steal(value);
    traceback_ = Ref::steal(traceback);
    return value_.get();
}

void PythonError::restore() && noexcept {
    PyErr_Restore(type_.release(), value_.release(), traceback_.release());
}

std::string PythonError::render() {
    PyObject* value = instance();
    std::string text = "PyErr { type: " + repr_text(type_.get());
    text += ", value: " + (value ? repr_text(value) : std::string("None"));
    text += ", traceback: ";
    text += traceback_ ? "Some(" + repr_text(traceback_.get()) + ")" : std::string("None");
    text += " }";
    return text;
}

bool PythonError::is_ordinary() const noexcept {
    return PyErr_GivenExceptionMatches(type_.get(), PyExc_Exception) != 0 &&
           PyErr_GivenExceptionMatches(type_.get(), PyExc_MemoryError) == 0;
}

PythonError PythonError::fetch_ordinary() {
    PythonError error = fetch();
    if (!error.is_ordinary()) throw std::move(error);
    return error;
}

void discard_pending_error() { (void)PythonError::fetch_ordinary(); }

void python_api_call_failed() {
    if (PyErr_Occurred() != nullptr) PythonError::fetch_ordinary().restore();
    PyErr_Print();
    raise_fault("Python API call failed");
}

void raise_type_error(std::string_view message) {
    throw PythonError::from_message(PyExc_TypeError, message);
}

void raise_not_convertible(PyObject* obj, std::string_view target) {
    std::string message = "'" + type_name(obj) + "' object cannot be converted to '";
    message += target;
    message += "'";
    raise_type_error(message);
}

}  // namespace tarn::binding
