#include "lumora/Settings.h"

#include <fstream>
#include <set>
#include <sstream>

#include "RecorderAutomation/Protocol/WireEnumeration.h"

namespace lumora {
namespace {

constexpr std::int64_t largestDisplaySide = 16384;
constexpr std::size_t longestDisplayID = 128;

class Reader {
public:
    Reader(const nlohmann::json& object, std::string origin, std::vector<std::string>& problems)
        : object_(object), origin_(std::move(origin)), problems_(problems) {}

    void boolean(const char* key, bool& target) {
        if (const auto* v = find(key)) {
            if (v->is_boolean())
                target = v->get<bool>();
            else
                wrongType(key, "true or false", target ? "true" : "false");
        }
    }
    void text(const char* key, std::string& target) {
        if (const auto* v = find(key)) {
            if (v->is_string())
                target = v->get<std::string>();
            else
                wrongType(key, "a text", "\"" + target + "\"");
        }
    }
    void integer(const char* key, std::int64_t& target, std::int64_t low, std::int64_t high) {
        if (const auto* v = find(key)) {
            if (v->is_number_integer() && v->get<std::int64_t>() >= low && v->get<std::int64_t>() <= high)
                target = v->get<std::int64_t>();
            else
                wrongType(key, "a whole number from " + std::to_string(low) + " to " + std::to_string(high),
                          std::to_string(target));
        }
    }
    const nlohmann::json* find(const char* key) const {
        auto it = object_.find(key);
        if (it == object_.end() || it->is_null()) return nullptr;
        return &*it;
    }
    void problem(std::string sentence) { problems_.push_back(origin_ + ": " + std::move(sentence)); }
    void wrongType(const std::string& key, const std::string& expected, const std::string& fallback) {
        problem("\"" + key + "\" must be " + expected + "; using " + fallback + ".");
    }

private:
    const nlohmann::json& object_;
    std::string origin_;
    std::vector<std::string>& problems_;
};

std::optional<VirtualDisplay> readDisplay(const nlohmann::json& entry, std::size_t index, Reader& top) {
    const std::string where = "virtualDisplays[" + std::to_string(index) + "]";
    if (!entry.is_object()) {
        top.problem(where + " must be an object; it is left out.");
        return std::nullopt;
    }
    VirtualDisplay display;
    auto id = entry.find("id");
    if (id == entry.end() || !(id->is_string() || id->is_number_integer())) {
        top.problem(where + " needs an \"id\" text; it is left out.");
        return std::nullopt;
    }
    display.id = id->is_string() ? id->get<std::string>() : std::to_string(id->get<std::int64_t>());
    if (display.id.empty() || display.id.size() > longestDisplayID) {
        top.problem(where + " has an \"id\" that is empty or longer than 128 characters; it is left out.");
        return std::nullopt;
    }
    for (const char* key : {"pixelWidth", "pixelHeight"}) {
        auto v = entry.find(key);
        if (v == entry.end() || !v->is_number_integer() || v->get<std::int64_t>() < 16 ||
            v->get<std::int64_t>() > largestDisplaySide) {
            top.problem(where + " needs \"" + key + "\" as a whole number from 16 to 16384; it is left out.");
            return std::nullopt;
        }
        (std::string_view(key) == "pixelWidth" ? display.pixelWidth : display.pixelHeight) = v->get<std::int64_t>();
    }
    display.name = "Virtual Display " + display.id;
    if (auto v = entry.find("name"); v != entry.end()) {
        if (v->is_string() && !v->get<std::string>().empty())
            display.name = v->get<std::string>();
        else
            top.problem(where + " \"name\" must be a non-empty text; using \"" + display.name + "\".");
    }
    if (auto v = entry.find("scale"); v != entry.end()) {
        if (v->is_number() && v->get<double>() >= 0.5 && v->get<double>() <= 4.0)
            display.scale = v->get<double>();
        else
            top.problem(where + " \"scale\" must be a number from 0.5 to 4; using 1.");
    }
    return display;
}

}  // namespace

std::vector<VirtualDisplay> Settings::defaultVirtualDisplays() {
    return {
        {"1", "Virtual Display 1", 1920, 1080, 1.0},
        {"2", "Virtual Display 2", 1280, 720, 1.0},
    };
}

// The texts of the settings file and the command line, in declaration order.
static constexpr auto wireTexts(CaptureBackendKind) {
    using enum CaptureBackendKind;
    return recorder::wireTable<CaptureBackendKind>(
        "capture back end", {{synthetic, "synthetic"}, {x11, "x11"}, {wayland, "wayland"}, {automatic, "auto"}});
}

std::string_view captureBackendName(CaptureBackendKind kind) {
    return recorder::WireEnumeration<CaptureBackendKind>::rawValue(kind);
}

std::optional<CaptureBackendKind> captureBackendFromName(std::string_view name) {
    return recorder::WireEnumeration<CaptureBackendKind>::fromRawValue(name);
}

nlohmann::json Settings::toJSON() const {
    nlohmann::json displays = nlohmann::json::array();
    for (const auto& d : virtualDisplays)
        displays.push_back({{"id", d.id},
                            {"name", d.name},
                            {"pixelWidth", d.pixelWidth},
                            {"pixelHeight", d.pixelHeight},
                            {"scale", d.scale}});
    return {
        {"automationEnabled", automationEnabled},
        {"outputFolder", outputFolder},
        {"captureBackend", std::string(captureBackendName(captureBackend))},
        {"x11Display", x11Display},
        {"frameRate", frameRate},
        {"systemAudioAvailable", systemAudioAvailable},
        {"virtualDisplays", displays},
        {"simulate",
         {{"screenRecordingPermission", simulate.screenRecordingPermission},
          {"setupComplete", simulate.setupComplete},
          {"captureFailure", std::string(capture_failure_mode::rawValue(simulate.captureFailure))}}},
    };
}

std::filesystem::path Settings::resolvedOutputFolder(const std::filesystem::path& home) const {
    std::string folder = outputFolder;
    if (folder == "~") return home;
    if (folder.rfind("~/", 0) == 0) return (home / folder.substr(2)).lexically_normal();
    std::filesystem::path path(folder);
    if (path.is_relative()) path = home / path;
    return path.lexically_normal();
}

SettingsLoad SettingsLoad::fromFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        SettingsLoad load;
        std::error_code ec;
        if (std::filesystem::exists(path, ec)) {
            load.fileExists = true;
            load.problems.push_back(path.string() + ": the file cannot be read; using the default settings.");
        }
        return load;
    }
    std::stringstream text;
    text << in.rdbuf();
    auto load = fromText(text.str(), path.string());
    load.fileExists = true;
    return load;
}

SettingsLoad SettingsLoad::fromText(const std::string& text, const std::string& origin) {
    SettingsLoad load;
    auto json = nlohmann::json::parse(text, nullptr, false);
    if (json.is_discarded() || !json.is_object()) {
        load.problems.push_back(origin + ": not a JSON object; using the default settings.");
        return load;
    }
    Settings& s = load.settings;
    Reader reader(json, origin, load.problems);
    reader.boolean("automationEnabled", s.automationEnabled);
    reader.text("outputFolder", s.outputFolder);
    if (s.outputFolder.empty()) {
        reader.problem("\"outputFolder\" is empty; using \"~/Videos/Lumora\".");
        s.outputFolder = Settings{}.outputFolder;
    }
    if (const auto* v = reader.find("captureBackend")) {
        auto kind = v->is_string() ? captureBackendFromName(v->get<std::string>()) : std::nullopt;
        if (kind)
            s.captureBackend = *kind;
        else
            reader.wrongType("captureBackend", "\"auto\", \"wayland\", \"x11\" or \"synthetic\"", "\"auto\"");
    }
    reader.text("x11Display", s.x11Display);
    reader.integer("frameRate", s.frameRate, 1, 30);
    reader.boolean("systemAudioAvailable", s.systemAudioAvailable);

    if (const auto* v = reader.find("virtualDisplays")) {
        if (!v->is_array()) {
            reader.wrongType("virtualDisplays", "a list of displays", "the two default displays");
        } else {
            std::vector<VirtualDisplay> displays;
            std::set<std::string> seen;
            for (std::size_t i = 0; i < v->size(); ++i) {
                auto display = readDisplay((*v)[i], i, reader);
                if (!display) continue;
                if (!seen.insert(display->id).second) {
                    reader.problem("virtualDisplays[" + std::to_string(i) + "] repeats the id \"" + display->id +
                                   "\"; it is left out.");
                    continue;
                }
                displays.push_back(std::move(*display));
            }
            if (displays.empty())
                reader.problem("\"virtualDisplays\" names no usable display; using the defaults.");
            else
                s.virtualDisplays = std::move(displays);
        }
    }

    if (const auto* v = reader.find("simulate")) {
        if (!v->is_object()) {
            reader.wrongType("simulate", "an object", "no simulated conditions");
        } else {
            Reader inner(*v, origin + " (simulate)", load.problems);
            inner.boolean("screenRecordingPermission", s.simulate.screenRecordingPermission);
            inner.boolean("setupComplete", s.simulate.setupComplete);
            if (const auto* f = inner.find("captureFailure")) {
                auto mode = f->is_string() ? capture_failure_mode::fromRawValue(f->get<std::string>()) : std::nullopt;
                if (mode)
                    s.simulate.captureFailure = *mode;
                else
                    inner.wrongType("captureFailure", "\"none\", \"start\", \"during\" or \"finalize\"", "\"none\"");
            }
        }
    }

    static const std::set<std::string> known{"automationEnabled", "outputFolder", "captureBackend",
                                             "x11Display",        "frameRate",    "systemAudioAvailable",
                                             "virtualDisplays",   "simulate"};
    for (const auto& [key, value] : json.items())
        if (!known.count(key)) reader.problem("unknown key \"" + key + "\" is ignored.");
    return load;
}

}  // namespace lumora
