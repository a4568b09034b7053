// text.cpp: Python objects rendered as UTF-8 text for messages.
#include "binding/text.hpp"

#include "binding/python_error.hpp"
#include "binding/ref.hpp"

namespace tarn::binding {

std::string str_to_utf8_lossy(PyObject* str) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(str, &size))
        return std::string(utf8, size_t(size));
    // Lone surrogates have no UTF-8 form: encode them as they are and let the
    // decoder replace each invalid sequence with U+FFFD.
    discard_pending_error();
    Ref bytes = Ref::steal(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
    if (!bytes) python_api_call_failed();
    Ref decoded = Ref::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes.get()),
                                                  PyBytes_GET_SIZE(bytes.get()), "replace"));
    if (!decoded) python_api_call_failed();
    const char* utf8 = PyUnicode_AsUTF8AndSize(decoded.get(), &size);
    if (utf8 == nullptr) python_api_call_failed();
    return std::string(utf8, size_t(size));
}

std::string render_text(PyObject* obj) {
    if (Ref text = Ref::steal(PyObject_Str(obj))) return str_to_utf8_lossy(text.get());
    // str() itself raised: report that to the unraisable hook and describe the
    // object by its type. An interrupt or exhaustion goes to the caller instead.
    PythonError::fetch_ordinary().restore();
    PyErr_WriteUnraisable(obj);
    const std::string name = type_name(obj);
    if (name == "<failed to extract type name>") return "<unprintable object>";
    return "<unprintable " + name + " object>";
}

std::string type_name(PyObject* obj) {
    static PyObject* const qualname = [] {
        PyObject* name = expect_object(PyUnicode_FromString("__qualname__"));
        PyUnicode_InternInPlace(&name);
        return name;
    }();
    Ref attribute =
        Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(obj)), qualname));
    if (!attribute) {
        discard_pending_error();
        return "<failed to extract type name>";
    }
    if (!PyUnicode_Check(attribute.get())) return "<failed to extract type name>";
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(attribute.get(), &size);
    if (utf8 == nullptr) {
        discard_pending_error();
        return "<failed to extract type name>";
    }
    return std::string(utf8, size_t(size));
}

std::string repr_text(PyObject* obj) {
    Ref repr = Ref::steal(PyObject_Repr(obj));
    if (!repr) {
        discard_pending_error();
        return "<unprintable object>";
    }
    return str_to_utf8_lossy(repr.get());
}

}  // namespace tarn::binding
