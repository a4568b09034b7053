// text.hpp: Python objects rendered as UTF-8 text for messages.
#pragma once

#include <Python.h>

#include <string>

namespace tarn::binding {

// UTF-8 text of str(obj), with the fallbacks for unencodable and unprintable objects.
std::string render_text(PyObject* obj);
// UTF-8 text of repr(obj), for fault messages, or "<unprintable object>" when
// repr fails with an ordinary error (see discard_pending_error).
std::string repr_text(PyObject* obj);
// UTF-8 text of a str object known to be a str; lone surrogates become U+FFFD.
std::string str_to_utf8_lossy(PyObject* str);
// The __qualname__ of obj's type, or "<failed to extract type name>".
std::string type_name(PyObject* obj);

}  // namespace tarn::binding
