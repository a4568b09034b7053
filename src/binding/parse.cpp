// parse.cpp: argument matching and the parser's TypeError messages.
#include "binding/parse.hpp"

#include <vector>

#include "binding/convert.hpp"
#include "binding/text.hpp"

namespace tarn::binding {
namespace {

// 'x' / 'x' and 'y' / 'x', 'y', and 'z'
std::string parameter_list(const std::vector<std::string_view>& names) {
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() > 2) text += ',';
            text += i + 1 == names.size() ? " and " : " ";
        }
        text += '\'';
        text += names[i];
        text += '\'';
    }
    return text;
}

[[noreturn]] void too_many_positional_arguments(const FunctionDescription& d, std::size_t given) {
    std::string text = d.display_name() + " takes " + std::to_string(d.parameters.size()) +
                       " positional arguments but " + std::to_string(given);
    text += given == 1 ? " was given" : " were given";
    raise_type_error(text);
}

[[noreturn]] void multiple_values_for_argument(const FunctionDescription& d,
                                               std::string_view name) {
    raise_type_error(d.display_name() + " got multiple values for argument '" + std::string(name) +
                     "'");
}

[[noreturn]] void unexpected_keyword_argument(const FunctionDescription& d, PyObject* keyword) {
    raise_type_error(d.display_name() + " got an unexpected keyword argument '" +
                     render_text(keyword) + "'");
}

[[noreturn]] void missing_required_arguments(const FunctionDescription& d,
                                             const std::vector<std::string_view>& names) {
    std::string text =
        d.display_name() + " missing " + std::to_string(names.size()) + " required positional";
    text += names.size() == 1 ? " argument: " : " arguments: ";
    raise_type_error(text + parameter_list(names));
}

// Places one keyword argument in the slot of the parameter it names.
void match_keyword(const FunctionDescription& d, PyObject* keyword, PyObject* value,
                   std::span<PyObject*> slots) {
    if (!is_str(keyword)) raise_not_convertible(keyword, "PyString");
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(keyword, &size);
    if (utf8 == nullptr) {
        discard_pending_error();
        unexpected_keyword_argument(d, keyword);
    }
    const std::string_view name(utf8, std::size_t(size));
    for (std::size_t j = 0; j < d.parameters.size(); ++j) {
        if (d.parameters[j].name != name) continue;
        if (slots[j] != nullptr) multiple_values_for_argument(d, name);
        slots[j] = value;
        return;
    }
    unexpected_keyword_argument(d, keyword);
}

void place_positional(const FunctionDescription& d, PyObject* const* args, std::size_t nargs,
                      std::span<PyObject*> slots) {
    const std::size_t total = d.parameters.size();
    for (std::size_t i = 0; i < nargs && i < total; ++i) slots[i] = args[i];
    if (nargs > total) too_many_positional_arguments(d, nargs);
}

void check_required(const FunctionDescription& d, std::span<PyObject* const> slots) {
    std::vector<std::string_view> missing;
    for (std::size_t i = 0; i < d.parameters.size(); ++i) {
        if (slots[i] == nullptr) missing.push_back(d.parameters[i].name);
    }
    if (!missing.empty()) missing_required_arguments(d, missing);
}

}  // namespace

std::string FunctionDescription::display_name() const {
    std::string name;
    if (!class_name.empty()) {
        name += class_name;
        name += '.';
    }
    name += function_name;
    name += "()";
    return name;
}

void extract_arguments_fastcall(const FunctionDescription& description, PyObject* const* args,
                                Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> slots) {
    const auto positional_count = std::size_t(nargs);
    place_positional(description, args, positional_count, slots);
    if (kwnames != nullptr) {
        const Py_ssize_t keyword_count = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < keyword_count; ++i) {
            match_keyword(description, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], slots);
        }
    }
    check_required(description, slots);
}

void extract_arguments_tuple_dict(const FunctionDescription& description, PyObject* args,
                                  PyObject* kwargs, std::span<PyObject*> slots) {
    const auto positional_count = std::size_t(PyTuple_GET_SIZE(args));
    place_positional(description, &PyTuple_GET_ITEM(args, 0), positional_count, slots);
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject *key = nullptr, *value = nullptr;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            match_keyword(description, key, value, slots);
        }
    }
    check_required(description, slots);
}

PythonError argument_extraction_error(std::string_view argument_name, PythonError error) {
    PyObject* caught = error.instance();
    if (error.type() != PyExc_TypeError) return error;
    std::string message = "argument '" + std::string(argument_name) + "': " + render_text(caught);
    PythonError wrapped = PythonError::from_message(PyExc_TypeError, message);
    // The caught exception's cause carries over; the caught exception itself
    // becomes neither the cause nor the context of the new one.
    PyException_SetCause(wrapped.instance(), PyException_GetCause(caught));
    return wrapped;
}

}  // namespace tarn::binding
