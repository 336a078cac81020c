#include "RecorderAutomation/Platform/InfoPlist.h"

#include <plist/plist.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <memory>
#include <sstream>

namespace recorder::platform::InfoPlist {

namespace {

struct PlistDeleter {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using PlistHandle = std::unique_ptr<void, PlistDeleter>;

std::optional<nlohmann::json> convert(plist_t node, int depth) {
    // Binary lists can reference themselves; a bound keeps a crafted file from recursing forever.
    if (node == nullptr || depth > 64) return std::nullopt;
    switch (plist_get_node_type(node)) {
        case PLIST_BOOLEAN: {
            std::uint8_t value = 0;
            plist_get_bool_val(node, &value);
            return nlohmann::json(value != 0);
        }
        case PLIST_UINT: {
            // Integers are stored as their 64-bit pattern; negative values come back negative.
            std::uint64_t value = 0;
            plist_get_uint_val(node, &value);
            return nlohmann::json(static_cast<std::int64_t>(value));
        }
        case PLIST_REAL: {
            double value = 0;
            plist_get_real_val(node, &value);
            // JSON has no NaN or infinity; such a value is left out like a date.
            if (!std::isfinite(value)) return std::nullopt;
            return nlohmann::json(value);
        }
        case PLIST_STRING: {
            std::uint64_t length = 0;
            const char* text = plist_get_string_ptr(node, &length);
            return nlohmann::json(std::string(text == nullptr ? "" : text, text == nullptr ? 0 : length));
        }
        case PLIST_ARRAY: {
            auto array = nlohmann::json::array();
            const std::uint32_t size = plist_array_get_size(node);
            for (std::uint32_t i = 0; i < size; ++i) {
                if (auto item = convert(plist_array_get_item(node, i), depth + 1)) array.push_back(std::move(*item));
            }
            return array;
        }
        case PLIST_DICT: {
            auto object = nlohmann::json::object();
            plist_dict_iter iterator = nullptr;
            plist_dict_new_iter(node, &iterator);
            while (iterator != nullptr) {
                char* key = nullptr;
                plist_t value = nullptr;
                plist_dict_next_item(node, iterator, &key, &value);
                if (key == nullptr) break;
                std::string name(key);
                std::free(key);
                if (auto item = convert(value, depth + 1)) object[name] = std::move(*item);
            }
            std::free(iterator);
            return object;
        }
        default:
            return std::nullopt;
    }
}

// A text holding U+0000 (possible in binary lists and through XML character references) is
// kept by libplist with a length past its first NUL, and reading it as a dictionary key then
// fails an assertion inside libplist that aborts the process. Bytes that are not UTF-8 (an
// XML file in another encoding, a binary ASCII text with high bytes) would make text that
// cannot be written as JSON. No real information list holds either, so such a list is refused
// as a whole. The XML writer copies every byte of each text, values hidden behind a repeated
// key included, so both show up there.
bool holdsInvalidText(plist_t root) {
    char* xml = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(root, &xml, &length);
    if (xml == nullptr) return true;
    std::string text(xml, length);
    std::free(xml);
    if (text.find('\0') != std::string::npos) return true;
    try {
        (void)nlohmann::json(std::move(text)).dump();  // throws on bytes that are not UTF-8
    } catch (const nlohmann::json::type_error&) {
        return true;
    }
    return false;
}

}  // namespace

std::optional<nlohmann::json> parse(std::string_view bytes) {
    if (bytes.empty() || bytes.size() > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
    plist_t root = nullptr;
    plist_from_memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &root);
    PlistHandle handle(root);
    if (root == nullptr || holdsInvalidText(root)) return std::nullopt;
    return convert(root, 0);
}

std::optional<nlohmann::json> readDictionary(const std::filesystem::path& file) {
    std::ifstream stream(file, std::ios::binary);
    if (!stream) return std::nullopt;
    std::ostringstream contents;
    contents << stream.rdbuf();
    auto value = parse(contents.str());
    if (!value || !value->is_object()) return std::nullopt;
    return value;
}

}  // namespace recorder::platform::InfoPlist
