#include "lumora/MediaProbe.h"

#include <nlohmann/json.hpp>

#include "lumora/ChildProcess.h"

namespace lumora {
namespace {

std::optional<double> number(const nlohmann::json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end()) return std::nullopt;
    if (it->is_number()) return it->get<double>();
    if (it->is_string()) {
        try {
            std::size_t used = 0;
            double v = std::stod(it->get<std::string>(), &used);
            if (used == it->get<std::string>().size()) return v;
        } catch (...) {
        }
    }
    return std::nullopt;
}

}  // namespace

MediaProbe::Measurement MediaProbe::measure(const std::filesystem::path& file) {
    std::error_code ec;
    auto bytes = std::filesystem::file_size(file, ec);
    if (ec) return "The file " + file.string() + " does not exist.";
    if (bytes == 0) return "The file " + file.string() + " is empty.";
    ChildProcess::Captured probe;
    try {
        probe =
            ChildProcess::run("ffprobe",
                              {"-v", "error", "-select_streams", "v:0", "-show_entries",
                               "stream=width,height,duration,nb_frames:format=duration", "-of", "json", file.string()},
                              std::chrono::seconds(15));
    } catch (const ChildProcess::Failure& failure) {
        return "ffprobe could not be run: " + failure.description() + ".";
    }
    if (probe.timedOut) return "ffprobe did not finish measuring " + file.string() + ".";
    if (!probe.exit.succeeded()) return "ffprobe cannot read " + file.string() + " (" + probe.exit.description() + ").";
    return fromProbeOutput(probe.output, file, std::int64_t(bytes));
}

MediaProbe::Measurement MediaProbe::fromProbeOutput(const std::string& text, const std::filesystem::path& file,
                                                    std::int64_t bytes) {
    auto json = nlohmann::json::parse(text, nullptr, false);
    if (json.is_discarded() || !json.is_object())
        return "ffprobe gave no readable description of " + file.string() + ".";
    auto streams = json.find("streams");
    if (streams == json.end() || !streams->is_array() || streams->empty() || !(*streams)[0].is_object())
        return "The file " + file.string() + " holds no video stream.";
    const auto& video = (*streams)[0];
    auto width = number(video, "width"), height = number(video, "height");
    if (!width || !height || *width <= 0 || *height <= 0) return "The video in " + file.string() + " has no size.";
    if (auto frames = number(video, "nb_frames"); frames && *frames <= 0)
        return "The video in " + file.string() + " holds no frames.";
    std::optional<double> duration = number(video, "duration");
    if (!duration) {
        auto format = json.find("format");
        if (format != json.end() && format->is_object()) duration = number(*format, "duration");
    }
    if (!duration || *duration <= 0) return "The video in " + file.string() + " has no duration.";
    return SavedMedia{file, *duration, std::int64_t(*width), std::int64_t(*height), bytes};
}

}  // namespace lumora
