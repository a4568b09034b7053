// call_frame.cpp: translation of C++ exceptions into Python exceptions.
#include "binding/call_frame.hpp"

#include <new>

#include "binding/panic.hpp"
#include "binding/python_error.hpp"
#include "core/fault.hpp"

namespace tarn::binding {

void translate_current_exception() noexcept {
    try {
        try {
            throw;
        } catch (PythonError& error) {
            std::move(error).restore();
        } catch (const Fault& fault) {
            panic_error(fault.message()).restore();
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        } catch (const InvalidValue& refusal) {
            PythonError::from_message(PyExc_ValueError, refusal.what()).restore();
        } catch (...) {
            panic_error("a fault occurred in native code").restore();
        }
    } catch (...) {
        abort_with_report("uncaught panic at ffi boundary");
    }
}

}  // namespace tarn::binding
