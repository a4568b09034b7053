// signature.hpp: one description per callable: argument matching, text signature, method entry.
#pragma once

#include <Python.h>

#include <array>
#include <concepts>
#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "binding/parse.hpp"
#include "core/fault.hpp"

namespace tarn::binding {

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
    FunctionDescription description() const { return {function_name, parameters, class_name}; }
};

template <std::same_as<Parameter>... Parameters>
constexpr Signature<sizeof...(Parameters)> function_signature(std::string_view name,
                                                              Parameters... parameters) {
    return {{}, name, {parameters...}};
}

template <std::same_as<Parameter>... Parameters>
constexpr Signature<sizeof...(Parameters)> method_signature(std::string_view class_name,
                                                            std::string_view name,
                                                            Parameters... parameters) {
    return {class_name, name, {parameters...}};
}

// The arguments of one call, each matched to its parameter; all borrowed. A
// wrong call throws the parser's TypeError while matching.
template <std::size_t N>
class Arguments {
public:
    // From a vectorcall.
    Arguments(const Signature<N>& signature, PyObject* const* args, Py_ssize_t nargs,
              PyObject* kwnames)
        : signature_(signature) {
        extract_arguments_fastcall(signature.description(), args, nargs, kwnames, slots_);
    }
    // From a positional tuple and an optional keyword dictionary.
    Arguments(const Signature<N>& signature, PyObject* args, PyObject* kwargs)
        : signature_(signature) {
        extract_arguments_tuple_dict(signature.description(), args, kwargs, slots_);
    }

    // The argument given for `parameter`, one of the signature's.
    PyObject* operator[](const Parameter& parameter) const { return slots_[index_of(parameter)]; }

    template <class Convert>
    auto convert(const Parameter& parameter, Convert&& convert) const {
        return parameter.convert((*this)[parameter], std::forward<Convert>(convert));
    }

private:
    // A parameter is known by where its name is stored: the signature holds
    // copies of the parameters' constants, whose names are the same literals.
    // That keeps the look-up to a few comparisons of addresses per call.
    std::size_t index_of(const Parameter& parameter) const {
        for (std::size_t i = 0; i < N; ++i) {
            if (signature_.parameters[i].name.data() == parameter.name.data()) return i;
        }
        raise_fault("no parameter '" + std::string(parameter.name) + "' in " +
                    signature_.description().display_name());
    }

    const Signature<N>& signature_;
    std::array<PyObject*, N> slots_{};
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
