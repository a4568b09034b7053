// panic.cpp: creating PanicException and building its errors.
#include "binding/panic.hpp"

#include <cstdlib>

#include "binding/once.hpp"
#include "core/fault.hpp"

namespace tarn::binding {
namespace {

constexpr const char* panic_qualified_name = "tarn.panic.PanicException";
constexpr const char* panic_doc =
    "\n"
    "The exception raised when native code called from Python faults.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

Ref create_panic_type() {
    PyObject* type =
        PyErr_NewExceptionWithDoc(panic_qualified_name, panic_doc, PyExc_BaseException, nullptr);
    if (type == nullptr) {
        PyErr_Print();
        abort_with_report("failed to create the PanicException type");
    }
    return Ref::steal(type);
}

}  // namespace

PyObject* panic_type() {
    static constinit ProcessObject type;
    return type.get(create_panic_type);
}

PythonError panic_error(const std::string& message) {
    return PythonError::from_message(panic_type(), message);
}

void abort_with_report(const char* message) noexcept {
    report_fault(message);
    std::abort();
}

}  // namespace tarn::binding
