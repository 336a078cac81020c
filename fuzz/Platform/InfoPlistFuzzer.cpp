// Arbitrary bytes as a bundle's Contents/Info.plist. Opening the bundle never fails on them; its
// information dictionary is what the reader makes of the bytes (or empty); the same list written
// back as binary reads to the same value; the executable never lies outside Contents/MacOS.

#include <plist/plist.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>

#include "RecorderAutomation/Platform/Bundle.h"
#include "RecorderAutomation/Platform/InfoPlist.h"
#include "fuzz/FuzzCheck.h"

namespace {

namespace fs = std::filesystem;
using namespace recorder::platform;

const fs::path& bundleDirectory() {
    static const fs::path directory = [] {
        std::string pattern = (fs::temp_directory_path() / "info-plist-fuzz.XXXXXX").string();
        FUZZ_CHECK(mkdtemp(pattern.data()) != nullptr);
        const fs::path bundle = fs::path(pattern) / "Fuzz.app";
        fs::create_directories(bundle / "Contents" / "MacOS");
        return bundle;
    }();
    return directory;
}

struct Freed {
    void operator()(plist_t node) const { plist_free(node); }
};

// The list in `bytes` written again as binary, when libplist can read it at all.
std::optional<std::string> asBinary(std::string_view bytes) {
    plist_t root = nullptr;
    plist_from_memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &root);
    if (root == nullptr) return std::nullopt;
    std::unique_ptr<void, Freed> owned(root);
    char* out = nullptr;
    std::uint32_t length = 0;
    plist_to_bin(root, &out, &length);
    if (out == nullptr) return std::nullopt;
    std::string text(out, length);
    std::free(out);
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const fs::path& directory = bundleDirectory();
    {
        std::ofstream file(Bundle::infoPlistPath(directory), std::ios::binary | std::ios::trunc);
        file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }

    const auto parsed = InfoPlist::parse(bytes);
    const auto bundle = Bundle::open(directory);
    FUZZ_CHECK(bundle.has_value());
    const auto& info = bundle->infoDictionary();
    FUZZ_CHECK(info.is_object());
    FUZZ_CHECK(info == (parsed && parsed->is_object() ? *parsed : nlohmann::json::object()));
    FUZZ_CHECK(InfoPlist::readDictionary(Bundle::infoPlistPath(directory)).has_value() ==
               (parsed && parsed->is_object()));

    const auto identifier = info.find("CFBundleIdentifier");
    FUZZ_CHECK(bundle->bundleIdentifier() == (identifier != info.end() && identifier->is_string()
                                                  ? std::optional(identifier->get<std::string>())
                                                  : std::nullopt));
    if (const auto executable = bundle->executableURL()) {
        FUZZ_CHECK(executable->parent_path() == directory / "Contents" / "MacOS");
        FUZZ_CHECK(executable->filename() == fs::path(*bundle->stringValue("CFBundleExecutable")));
        FUZZ_CHECK(executable->lexically_normal().parent_path() == directory / "Contents" / "MacOS");
    }

    if (parsed) {
        (void)parsed->dump();  // all of its text is UTF-8: dump() throws otherwise
        if (const auto binary = asBinary(bytes)) FUZZ_CHECK(InfoPlist::parse(*binary) == parsed);
    }
    return 0;
}
