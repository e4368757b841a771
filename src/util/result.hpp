// src/util/result.hpp: a value or a user-facing failure, returned instead of throwing
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace korvane {

/// Which Python exception a failure becomes at the binding boundary.
enum class ErrorKind { Type, Value, Index };

/// A failure caused by the caller's input, with the message shown to the user.
struct Error {
    ErrorKind kind;
    std::string message;
};

/// Either a value or an `Error`; the core returns this where user input can be refused.
template <class T>
class Result {
public:
    Result(T value) : m_state(std::in_place_index<0>, std::move(value)) {}
    Result(Error error) : m_state(std::in_place_index<1>, std::move(error)) {}

    bool ok() const noexcept { return m_state.index() == 0; }
    T& value() & { return std::get<0>(m_state); }
    const T& value() const& { return std::get<0>(m_state); }
    T&& value() && { return std::get<0>(std::move(m_state)); }
    const Error& error() const { return std::get<1>(m_state); }

private:
    std::variant<T, Error> m_state;
};

}  // namespace korvane
