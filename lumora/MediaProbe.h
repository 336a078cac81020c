#pragma once
// Measures a recorded file with ffprobe: what the saved result reports is what the file holds.

#include <filesystem>
#include <string>
#include <variant>

#include "lumora/CaptureBackend.h"

namespace lumora {

class MediaProbe {
public:
    // The measurement, or a sentence saying why the file is not a playable video.
    using Measurement = std::variant<SavedMedia, std::string>;

    static Measurement measure(const std::filesystem::path& file);

    // Reads ffprobe's JSON output (streams and format); `bytes` is the file's size.
    static Measurement fromProbeOutput(const std::string& json, const std::filesystem::path& file, std::int64_t bytes);
};

}  // namespace lumora
