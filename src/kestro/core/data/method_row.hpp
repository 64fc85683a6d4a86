// One row per native method: its name, parameters (with their defaults),
// docstring and the C++ function it calls, written next to that function.
//
// The binder (native_call.hpp) reads the row's signature; the row's invoker
// converts each bound argument to the type the function declares:
//
//   py::handle   the argument as given,
//   bool         its truth value (`bool(x)`, errors propagate),
//   py::dict     the collected `**kwds` (the last parameter only).
//
// Conversions run left to right before the function is called.
#pragma once

#include "native_call.hpp"

#include <cstddef>
#include <tuple>
#include <type_traits>
#include <utility>

namespace kestro::native {

using Invoke = py::object (*)(Call&);

struct MethodRow {
    Signature sig;
    const char* doc;  // nullptr: the host's docstring is inherited
    Invoke invoke;
};

namespace detail {

template <typename T>
T argument(Call& call, std::size_t i);

template <>
inline py::handle argument<py::handle>(Call& call, std::size_t i) {
    return call[i];
}

template <>
inline bool argument<bool>(Call& call, std::size_t i) {
    return truthy(call[i]);
}

template <>
inline py::dict argument<py::dict>(Call& call, std::size_t /*i*/) {
    return call.kwds();
}

template <auto Function>
struct Invoker;

template <typename... Args, py::object (*Function)(Args...)>
struct Invoker<Function> {
    static py::object invoke(Call& call) { return with(call, std::index_sequence_for<Args...>{}); }

    template <std::size_t... I>
    static py::object with(Call& call, std::index_sequence<I...>) {
        // A braced list converts left to right.
        std::tuple<std::decay_t<Args>...> arguments{argument<std::decay_t<Args>>(call, I)...};
        return std::apply(Function, std::move(arguments));
    }
};

}  // namespace detail

// The row of `Function` exposed as `name` with the parameters `params`
// (`self` first; `optional("x")` for a parameter that defaults to False)
// and the docstring `doc`.
template <auto Function>
constexpr MethodRow methodRow(const char* name, std::initializer_list<Param> params,
                              const char* doc = nullptr, bool collectsKeywords = false) {
    return MethodRow{Signature(name, params, collectsKeywords), doc,
                     &detail::Invoker<Function>::invoke};
}

}  // namespace kestro::native
