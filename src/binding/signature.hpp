// signature.hpp: one description per callable and per class: matching, text signature, names.
#pragma once

#include <Python.h>

#include <array>
#include <concepts>
#include <cstddef>
#include <string_view>
#include <utility>

#include "binding/parse.hpp"

namespace tarn::binding {

// A class as Python sees it: the module it names as its own and its own
// name. Its type's name, its methods' signatures and their messages are all
// made from this one description.
struct ClassDescription {
    std::string_view module_name;  // string literals, so null-terminated
    std::string_view name;
};

// "module.name" as a null-terminated constant: the name a type is created
// under, which gives the class its __module__ and __name__.
template <const ClassDescription& description>
inline constexpr auto qualified_name = [] {
    std::array<char, description.module_name.size() + 1 + description.name.size() + 1> text{};
    std::size_t next = 0;
    for (const char c : description.module_name) text[next++] = c;
    text[next++] = '.';
    for (const char c : description.name) text[next++] = c;
    return text;
}();

// A callable's name and its parameters, in order. A class's constructor is
// named "__new__"; any other callable with a class name is a method.
template <std::size_t N>
struct Signature {
    std::string_view class_name;
    std::string_view function_name;  // a string literal, so null-terminated
    std::array<Parameter, N> parameters;

    constexpr bool is_constructor() const { return function_name == "__new__"; }
    constexpr bool is_method() const { return !class_name.empty() && !is_constructor(); }
    // A view that lives as long as this signature.
    constexpr FunctionDescription description() const {
        return {function_name, parameters, class_name};
    }
    // The position of the parameter named as `parameter`'s, or N for none.
    constexpr std::size_t position_of(const Parameter& parameter) const {
        for (std::size_t i = 0; i < N; ++i) {
            if (parameters[i].name == parameter.name) return i;
        }
        return N;
    }
};

template <std::same_as<Parameter>... Parameters>
constexpr Signature<sizeof...(Parameters)> function_signature(std::string_view name,
                                                              Parameters... parameters) {
    return {{}, name, {parameters...}};
}

template <std::same_as<Parameter>... Parameters>
constexpr Signature<sizeof...(Parameters)> method_signature(const ClassDescription& owner,
                                                            std::string_view name,
                                                            Parameters... parameters) {
    return {owner.name, name, {parameters...}};
}

// The arguments of one call to the callable `signature` describes, each
// matched to its parameter; all borrowed. A wrong call throws the parser's
// TypeError while matching.
template <const auto& signature>
class Arguments {
public:
    // From a vectorcall.
    Arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        extract_arguments_fastcall(description, args, nargs, kwnames, slots_);
    }
    // From a positional tuple and an optional keyword dictionary.
    Arguments(PyObject* args, PyObject* kwargs) {
        extract_arguments_tuple_dict(description, args, kwargs, slots_);
    }

    // The argument given for `parameter`, which must be one of the
    // signature's: the position is found while compiling, and a parameter of
    // another callable does not compile.
    template <const Parameter& parameter>
    PyObject* get() const {
        constexpr std::size_t position = signature.position_of(parameter);
        static_assert(position < count, "the parameter is not one of this signature's");
        return slots_[position];
    }

    template <const Parameter& parameter, class Convert>
    auto convert(Convert&& convert) const {
        return parameter.convert(get<parameter>(), std::forward<Convert>(convert));
    }

private:
    static constexpr std::size_t count = signature.parameters.size();
    static constexpr FunctionDescription description = signature.description();

    std::array<PyObject*, count> slots_{};
};

// Writes "name(a, b)\n--\n\n" through put(char), "$self" first for a method
// and the class's name for its constructor: the interpreter takes
// __text_signature__ from this text and leaves the docstring after it empty.
template <std::size_t N, class Put>
constexpr void write_text_signature(const Signature<N>& signature, Put&& put) {
    const auto put_text = [&](std::string_view text) {
        for (const char c : text) put(c);
    };
    put_text(signature.is_constructor() ? signature.class_name : signature.function_name);
    put('(');
    if (signature.is_method()) put_text(N == 0 ? "$self" : "$self, ");
    for (std::size_t i = 0; i < N; ++i) {
        if (i > 0) put_text(", ");
        put_text(signature.parameters[i].name);
    }
    put_text(")\n--\n\n");
}

// The text above as a null-terminated constant, for method tables and type slots.
template <const auto& signature>
inline constexpr auto text_signature = [] {
    constexpr std::size_t length = [] {
        std::size_t count = 0;
        write_text_signature(signature, [&](char) { ++count; });
        return count;
    }();
    std::array<char, length + 1> text{};
    std::size_t next = 0;
    write_text_signature(signature, [&](char c) { text[next++] = c; });
    return text;
}();

using FastcallFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// The method table entry of a callable that takes its arguments by vectorcall.
template <const auto& signature>
PyMethodDef fastcall_method(FastcallFunction function) {
    return {signature.function_name.data(),
            reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function)),
            METH_FASTCALL | METH_KEYWORDS, text_signature<signature>.data()};
}

}  // namespace tarn::binding
