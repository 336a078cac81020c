#pragma once
// The common shape of every component's typed failure.
//
// Each component declares its own `Failure` (UnixSocket::Failure, AutomationClient::Failure,
// ...): an exception holding a std::variant of the component's cases, compared by value. A case
// states its text form once, as its name and a table of the values shown after it:
//
//   struct UnexpectedReply {
//       std::string requestID;
//       static constexpr auto failureCase() {
//           return failure::form("unexpectedReply", failure::labelled("requestID", &UnexpectedReply::requestID));
//       }
//       bool operator==(const UnexpectedReply&) const = default;
//   };
//
// and description() is derived from it: the name alone for a case without values, else the name
// and its values in parentheses, texts in double quotes, numbers in decimal, a nested failure by
// its own text, labelled values as "label: value" (systemCall("connect", 111),
// messageTooLarge(limit: 65536), notRunning).

#include <algorithm>
#include <concepts>
#include <cstdint>
#include <exception>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <tuple>
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

namespace failure {

// One value shown in a case's text: a member pointer or a function of the case, with an
// optional label.
template <class Projection>
struct Value {
    std::string_view label;
    Projection projection;
};

template <class Projection>
constexpr Value<Projection> value(Projection projection) {
    return {{}, projection};
}
template <class Projection>
constexpr Value<Projection> labelled(std::string_view label, Projection projection) {
    return {label, projection};
}

template <class... Values>
struct Form {
    std::string_view name;
    std::tuple<Values...> values;
};

template <class... Values>
constexpr Form<Values...> form(std::string_view name, Values... values) {
    return {name, {values...}};
}

// How one value reads inside the parentheses.
inline std::string shown(std::string_view text) { return failure_text::quoted(text); }
inline std::string shown(std::integral auto number) { return std::to_string(number); }
template <class Nested>
requires requires(const Nested& nested) {
    { nested.description() } -> std::convertible_to<std::string>;
}
std::string shown(const Nested& nested) { return std::string(nested.description()); }

template <class Case, class Projection>
std::string shown(const Case& value, const Value<Projection>& entry) {
    std::string text = shown(std::invoke(entry.projection, value));
    return entry.label.empty() ? text : failure_text::labelled(entry.label, text);
}

// The text form of `value`, from its case's table.
template <class Case>
std::string text(const Case& value) {
    static constexpr auto declared = Case::failureCase();
    return std::apply(
        [&](const auto&... entries) { return failure_text::caseForm(declared.name, {shown(value, entries)...}); },
        declared.values);
}

}  // namespace failure

// Cases are small structs that declare `static constexpr auto failureCase()` and `==`.
template <class Case>
concept FailureCase = std::equality_comparable<Case> && requires {
    { failure::text(std::declval<const Case&>()) } -> std::convertible_to<std::string>;
};

template <class Tag, FailureCase... Cases>
class BasicFailure : public std::exception {
public:
    using Case = std::variant<Cases...>;

    template <class C>
    requires(std::same_as<std::remove_cvref_t<C>, Cases> || ...)
        BasicFailure(C&& value)  // NOLINT(google-explicit-constructor): cases convert implicitly
        : value_(std::forward<C>(value)), text_(std::visit([](const auto& c) { return failure::text(c); }, value_)) {}

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

// A case's name as a template argument.
template <std::size_t N>
struct CaseName {
    constexpr CaseName(const char (&s)[N]) { std::copy_n(s, N, text); }  // NOLINT
    char text[N];
};

// A case without values: `struct TimedOut : NamedCase<"timedOut"> {};`
template <CaseName Name>
struct NamedCase {
    static constexpr auto failureCase() { return failure::form(Name.text); }
    bool operator==(const NamedCase&) const = default;
};

// A failed system call: its name and errno. Shared by every component that calls the system;
// Name is the case's name in that component's text ("systemCall" unless it was named otherwise).
template <CaseName Name>
struct BasicSystemCall {
    std::string call;
    int number = 0;
    static constexpr auto failureCase() {
        return failure::form(Name.text, failure::value(&BasicSystemCall::call),
                             failure::value(&BasicSystemCall::number));
    }
    bool operator==(const BasicSystemCall&) const = default;
};
using SystemCall = BasicSystemCall<"systemCall">;

// Thrown where the awaiting task was cancelled (its std::stop_token was triggered). Distinct
// from every component's Failure, so callers can tell "cancelled" apart from "failed".
class CancellationError : public std::exception {
public:
    const char* what() const noexcept override { return "cancelled"; }
};

}  // namespace recorder
