// parse.cpp: argument matching and the parser's TypeError messages.
#include "binding/parse.hpp"

#include <vector>

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
    const std::size_t total = d.positional_parameter_names.size();
    std::string text = d.display_name() + " takes ";
    if (d.required_positional_parameters < total) {
        text += "from " + std::to_string(d.required_positional_parameters) + " to ";
    }
    text += std::to_string(total) + " positional arguments but " + std::to_string(given);
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

[[noreturn]] void positional_only_keyword_arguments(const FunctionDescription& d,
                                                    const std::vector<std::string_view>& names) {
    raise_type_error(d.display_name() +
                     " got some positional-only arguments passed as keyword arguments: " +
                     parameter_list(names));
}

[[noreturn]] void missing_required_arguments(const FunctionDescription& d, std::string_view kind,
                                             const std::vector<std::string_view>& names) {
    std::string text = d.display_name() + " missing " + std::to_string(names.size()) +
                       " required " + std::string(kind);
    text += names.size() == 1 ? " argument: " : " arguments: ";
    raise_type_error(text + parameter_list(names));
}

// Walks keyword arguments one by one and places them in their slots; the
// positional-only offenders are kept aside for one message at the end.
class KeywordMatcher {
public:
    KeywordMatcher(const FunctionDescription& description, std::span<PyObject*> slots)
        : d_(description), slots_(slots) {}

    void match(PyObject* keyword, PyObject* value) {
        if (!PyType_HasFeature(Py_TYPE(keyword), Py_TPFLAGS_UNICODE_SUBCLASS)) {
            raise_not_convertible(keyword, "PyString");
        }
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(keyword, &size);
        if (utf8 == nullptr) {
            discard_pending_error();
            unexpected_keyword_argument(d_, keyword);
        }
        const std::string_view name(utf8, std::size_t(size));
        if (match_keyword_only(name, value) || match_positional(name, value)) return;
        unexpected_keyword_argument(d_, keyword);
    }

    void finish() const {
        if (!positional_only_offenders_.empty()) {
            positional_only_keyword_arguments(d_, positional_only_offenders_);
        }
    }

private:
    bool match_keyword_only(std::string_view name, PyObject* value) {
        const std::size_t first = d_.positional_parameter_names.size();
        for (std::size_t k = 0; k < d_.keyword_only_parameters.size(); ++k) {
            if (d_.keyword_only_parameters[k].name != name) continue;
            store(first + k, name, value);
            return true;
        }
        return false;
    }

    bool match_positional(std::string_view name, PyObject* value) {
        for (std::size_t j = 0; j < d_.positional_parameter_names.size(); ++j) {
            if (d_.positional_parameter_names[j] != name) continue;
            if (j < d_.positional_only_parameters) {
                positional_only_offenders_.push_back(d_.positional_parameter_names[j]);
            } else {
                store(j, name, value);
            }
            return true;
        }
        return false;
    }

    void store(std::size_t slot, std::string_view name, PyObject* value) {
        if (slots_[slot] != nullptr) multiple_values_for_argument(d_, name);
        slots_[slot] = value;
    }

    const FunctionDescription& d_;
    std::span<PyObject*> slots_;
    std::vector<std::string_view> positional_only_offenders_;
};

void place_positional(const FunctionDescription& d, PyObject* const* args, std::size_t nargs,
                      std::span<PyObject*> slots) {
    const std::size_t total = d.positional_parameter_names.size();
    for (std::size_t i = 0; i < nargs && i < total; ++i) slots[i] = args[i];
    if (nargs > total) too_many_positional_arguments(d, nargs);
}

void check_required(const FunctionDescription& d, std::size_t nargs,
                    std::span<PyObject* const> slots) {
    const std::size_t required = d.required_positional_parameters;
    if (nargs < required) {
        std::vector<std::string_view> missing;
        for (std::size_t i = 0; i < required; ++i) {
            if (slots[i] == nullptr) missing.push_back(d.positional_parameter_names[i]);
        }
        if (!missing.empty()) missing_required_arguments(d, "positional", missing);
    }
    std::vector<std::string_view> missing_keywords;
    const std::size_t first = d.positional_parameter_names.size();
    for (std::size_t k = 0; k < d.keyword_only_parameters.size(); ++k) {
        const auto& parameter = d.keyword_only_parameters[k];
        if (parameter.required && slots[first + k] == nullptr) {
            missing_keywords.push_back(parameter.name);
        }
    }
    if (!missing_keywords.empty()) missing_required_arguments(d, "keyword", missing_keywords);
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
        KeywordMatcher matcher(description, slots);
        const Py_ssize_t keyword_count = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < keyword_count; ++i) {
            matcher.match(PyTuple_GET_ITEM(kwnames, i), args[nargs + i]);
        }
        matcher.finish();
    }
    check_required(description, positional_count, slots);
}

void extract_arguments_tuple_dict(const FunctionDescription& description, PyObject* args,
                                  PyObject* kwargs, std::span<PyObject*> slots) {
    const auto positional_count = std::size_t(PyTuple_GET_SIZE(args));
    place_positional(description, &PyTuple_GET_ITEM(args, 0), positional_count, slots);
    if (kwargs != nullptr) {
        KeywordMatcher matcher(description, slots);
        Py_ssize_t position = 0;
        PyObject *key = nullptr, *value = nullptr;
        while (PyDict_Next(kwargs, &position, &key, &value)) matcher.match(key, value);
        matcher.finish();
    }
    check_required(description, positional_count, slots);
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
