#pragma once
// The common shape of every component's typed failure.
//
// Each component declares its own `Failure` (UnixSocket::Failure, AutomationClient::Failure,
// ...): an exception holding a std::variant of the component's cases, compared by value, whose
// description() is the case's text form: the case name alone for a case without values, else
// the name and its values in parentheses, texts in double quotes, labelled values as
// "label: value" (systemCall("connect", 111), messageTooLarge(limit: 65536), notRunning).

#include <algorithm>
#include <concepts>
#include <exception>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace recorder {

namespace failure_text {
// A text value as it appears inside a case's parentheses.
std::string quoted(std::string_view text);
// A labelled value: "label: value".
std::string labelled(std::string_view label, std::string_view value);
// "name" or "name(v1, v2)".
std::string caseForm(std::string_view name, std::initializer_list<std::string> values = {});
}  // namespace failure_text

// Cases are small structs that provide `std::string description() const` and `==`.
template <class Case>
concept FailureCase = std::equality_comparable<Case> && requires(const Case& c) {
    { c.description() } -> std::convertible_to<std::string>;
};

template <class Tag, FailureCase... Cases>
class BasicFailure : public std::exception {
public:
    using Case = std::variant<Cases...>;

    template <class C>
    requires(std::same_as<std::remove_cvref_t<C>, Cases> || ...)
        BasicFailure(C&& value)  // NOLINT(google-explicit-constructor): cases convert implicitly
        : value_(std::forward<C>(value)),
          text_(std::visit([](const auto& c) { return std::string(c.description()); }, value_)) {}

    const Case& value() const noexcept { return value_; }

    template <class C>
    const C* as() const noexcept {
        return std::get_if<C>(&value_);
    }
    template <class C>
    bool is() const noexcept {
        return std::holds_alternative<C>(value_);
    }

    const std::string& description() const noexcept { return text_; }
    const char* what() const noexcept override { return text_.c_str(); }

    friend bool operator==(const BasicFailure& a, const BasicFailure& b) { return a.value_ == b.value_; }

private:
    Case value_;
    std::string text_;
};

// A case without values: `struct TimedOut : NamedCase<"timedOut"> {};`
template <std::size_t N>
struct CaseName {
    constexpr CaseName(const char (&s)[N]) { std::copy_n(s, N, text); }  // NOLINT
    char text[N];
};

template <CaseName Name>
struct NamedCase {
    std::string description() const { return Name.text; }
    bool operator==(const NamedCase&) const = default;
};

// Thrown where the awaiting task was cancelled (its std::stop_token was triggered). Distinct
// from every component's Failure, so callers can tell "cancelled" apart from "failed".
class CancellationError : public std::exception {
public:
    const char* what() const noexcept override { return "cancelled"; }
};

}  // namespace recorder
