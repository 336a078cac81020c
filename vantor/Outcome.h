#pragma once
// How a command ends, as a value: with its document printed and an exit status, or as a usage
// error (answered with the usage text alone). Steps that may end the command early return a
// Result: their value, or the outcome to end with.

#include <utility>
#include <variant>

#include "vantor/ExitCode.h"

namespace vantor {

// The command line cannot be used. It carries no message on purpose: vantor answers every
// grammar error with the usage text alone.
struct UsageError {
    bool operator==(const UsageError&) const = default;
};

// ExitCode: the command's document (or failure document) has been printed.
using Outcome = std::variant<ExitCode, UsageError>;

template <class T>
class Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: values convert
    Result(Outcome ending) : state_(std::in_place_index<1>, ending) {}     // NOLINT
    Result(UsageError usage) : Result(Outcome(usage)) {}                   // NOLINT

    explicit operator bool() const noexcept { return state_.index() == 0; }
    const T& operator*() const { return std::get<0>(state_); }
    const T* operator->() const { return &std::get<0>(state_); }
    // The outcome to end with; only when there is no value.
    Outcome ending() const { return std::get<1>(state_); }

private:
    std::variant<T, Outcome> state_;
};

}  // namespace vantor
