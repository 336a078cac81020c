#include "lumora/X11Backend.h"

#include <cstdlib>
#include <optional>
#include <regex.h>
#include <sstream>

#include "lumora/ChildProcess.h"

namespace lumora {
namespace {

// A POSIX extended expression: a tool's output lines need no more, and std::regex is heavy to
// build, with GCC's false alarms inside its inlined automaton.
class Pattern {
public:
    explicit Pattern(const char* expression) { compiled_ = ::regcomp(&regex_, expression, REG_EXTENDED) == 0; }
    ~Pattern() {
        if (compiled_) ::regfree(&regex_);
    }
    Pattern(const Pattern&) = delete;
    Pattern& operator=(const Pattern&) = delete;

    // The groups of the first match in `text` (the whole match first), or nothing.
    std::optional<std::vector<std::string>> search(const std::string& text) const {
        regmatch_t groups[8];
        if (!compiled_ || ::regexec(&regex_, text.c_str(), 8, groups, 0) != 0) return std::nullopt;
        std::vector<std::string> found;
        for (std::size_t i = 0; i <= regex_.re_nsub && i < 8; ++i)
            found.push_back(groups[i].rm_so < 0 ? std::string()
                                                : text.substr(std::size_t(groups[i].rm_so),
                                                              std::size_t(groups[i].rm_eo - groups[i].rm_so)));
        return found;
    }

private:
    regex_t regex_{};
    bool compiled_ = false;
};

}  // namespace

X11Backend::X11Backend(std::string display) : display_(std::move(display)) {
    if (display_.empty()) {
        const char* env = std::getenv("DISPLAY");
        display_ = env ? env : "";
    }
}

std::vector<CaptureDisplay> X11Backend::parseMonitors(const std::string& text, const std::string& displayName) {
    //  0: +*DP-1 1920/527x1080/296+0+0  DP-1
    // The name begins with neither flag, so that the flags alone decide the first two groups.
    static const Pattern line(
        "^[[:space:]]*[0-9]+:[[:space:]]+\\+?(\\*?)([^*+[:space:]][^[:space:]]*)[[:space:]]+"
        "([0-9]+)/[0-9]+x([0-9]+)/[0-9]+([+-][0-9]+)([+-][0-9]+)");
    std::vector<CaptureDisplay> primary, others;
    std::istringstream in(text);
    std::string row;
    while (std::getline(in, row)) {
        const auto m = line.search(row);
        if (!m) continue;
        CaptureDisplay d;
        d.id = (*m)[2];
        d.pixelWidth = std::atoll((*m)[3].c_str());
        d.pixelHeight = std::atoll((*m)[4].c_str());
        d.originX = std::atoll((*m)[5].c_str());
        d.originY = std::atoll((*m)[6].c_str());
        d.name = "Monitor " + d.id + " on " + displayName;
        if (d.pixelWidth <= 0 || d.pixelHeight <= 0) continue;
        ((*m)[1] == "*" && primary.empty() ? primary : others).push_back(std::move(d));
    }
    primary.insert(primary.end(), others.begin(), others.end());
    if (!primary.empty()) primary.front().isDefault = true;
    return primary;
}

std::vector<CaptureDisplay> X11Backend::parseScreen(const std::string& text, const std::string& displayName) {
    static const Pattern dimensions("dimensions:[[:space:]]+([0-9]+)x([0-9]+)[[:space:]]+pixels");
    const auto m = dimensions.search(text);
    if (!m) return {};
    CaptureDisplay d;
    d.id = "screen";
    d.name = "Screen of " + displayName;
    d.pixelWidth = std::atoll((*m)[1].c_str());
    d.pixelHeight = std::atoll((*m)[2].c_str());
    d.isDefault = true;
    return {d};
}

std::vector<CaptureDisplay> X11Backend::displays() {
    if (display_.empty()) return {};
    const auto timeout = std::chrono::seconds(5);
    try {
        if (ChildProcess::locate("xrandr")) {
            auto listed = ChildProcess::run("xrandr", {"-d", display_, "--listmonitors"}, timeout);
            if (listed.exit.succeeded()) {
                auto monitors = parseMonitors(listed.output, display_);
                if (!monitors.empty()) return monitors;
            }
        }
        if (ChildProcess::locate("xdpyinfo")) {
            auto info = ChildProcess::run("xdpyinfo", {"-display", display_}, timeout);
            if (info.exit.succeeded()) return parseScreen(info.output, display_);
        }
    } catch (const ChildProcess::Failure&) {
    }
    return {};
}

FfmpegBackend::Inputs X11Backend::inputs(const CaptureRequest& request) const {
    const auto& d = request.display;
    // A display number that no X server has makes x11grab fail for real when a failing start is
    // simulated.
    std::string target = request.failure == CaptureFailureMode::start ? std::string(":65534") : display_;
    target += '+' + std::to_string(d.originX) + ',' + std::to_string(d.originY);
    Inputs in;
    in.arguments = {
        "-f",          "x11grab", "-framerate",  std::to_string(request.frameRate),
        "-draw_mouse", "1",       "-video_size", std::to_string(d.pixelWidth) + "x" + std::to_string(d.pixelHeight),
        "-i",          target};
    return in;
}

}  // namespace lumora
