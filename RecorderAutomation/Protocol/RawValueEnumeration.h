#pragma once
// The bridge from an enumeration with wire texts to the generic JSON coding: each such
// enumeration's header specialises RawValueEnumeration<E> with
//   static constexpr std::string_view typeName;                 // "source kind", for messages
//   static std::string_view rawValue(E);
//   static std::optional<E> fromRawValue(std::string_view);
//   static std::span<const E> allCases();

#include <concepts>
#include <optional>
#include <span>
#include <string_view>

namespace recorder {

template <class E>
struct RawValueEnumeration;

template <class E>
concept RawValueEnum = requires(std::string_view text, E value) {
    { RawValueEnumeration<E>::rawValue(value) } -> std::convertible_to<std::string_view>;
    { RawValueEnumeration<E>::fromRawValue(text) } -> std::same_as<std::optional<E>>;
    { RawValueEnumeration<E>::allCases() } -> std::convertible_to<std::span<const E>>;
};

}  // namespace recorder
