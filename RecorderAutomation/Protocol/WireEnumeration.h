#pragma once
// Enumerations with wire texts. Each such enumeration states one table, in declaration order,
// through a constexpr function found by argument-dependent lookup:
//   constexpr auto wireTexts(SourceKind) { return wireTable<SourceKind>("source kind", {{...}}); }
// and WireEnumeration<E> reads that table both ways.

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>
#include <utility>

namespace recorder {

template <class E, std::size_t N>
struct WireTable {
    std::string_view typeName;  // for messages: "source kind"
    std::array<std::pair<E, std::string_view>, N> rows;
};

template <class E, std::size_t N>
constexpr WireTable<E, N> wireTable(std::string_view typeName, const std::pair<E, std::string_view> (&rows)[N]) {
    WireTable<E, N> table{typeName, {}};
    for (std::size_t i = 0; i < N; ++i) {
        // rawValue indexes the table by the enumerator's value.
        if (static_cast<std::size_t>(rows[i].first) != i) throw "wire texts must follow declaration order";
        table.rows[i] = rows[i];
    }
    return table;
}

template <class E>
concept WireEnum = requires(E value) {
    wireTexts(value).rows;
};

template <WireEnum E>
struct WireEnumeration {
    static constexpr auto table = wireTexts(E{});
    static constexpr std::string_view typeName = table.typeName;
    // Every case, in declaration order.
    static constexpr auto allCases = [] {
        std::array<E, table.rows.size()> all{};
        for (std::size_t i = 0; i < all.size(); ++i) all[i] = table.rows[i].first;
        return all;
    }();

    static constexpr std::string_view rawValue(E value) { return table.rows[static_cast<std::size_t>(value)].second; }
    // Matched exactly, case-sensitively; nothing for any other text.
    static constexpr std::optional<E> fromRawValue(std::string_view text) {
        for (const auto& [value, raw] : table.rows)
            if (raw == text) return value;
        return std::nullopt;
    }
};

}  // namespace recorder
