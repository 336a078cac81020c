#include "lumora/X11Backend.h"

#include <cstdlib>
#include <regex>
#include <sstream>

#include "lumora/ChildProcess.h"

namespace lumora {

X11Backend::X11Backend(std::string display) : display_(std::move(display)) {
    if (display_.empty()) {
        const char* env = std::getenv("DISPLAY");
        display_ = env ? env : "";
    }
}

std::vector<CaptureDisplay> X11Backend::parseMonitors(const std::string& text, const std::string& displayName) {
    //  0: +*DP-1 1920/527x1080/296+0+0  DP-1
    static const std::regex line(R"(^\s*\d+:\s+\+?(\*?)(\S+)\s+(\d+)/\d+x(\d+)/\d+([+-]\d+)([+-]\d+))");
    std::vector<CaptureDisplay> primary, others;
    std::istringstream in(text);
    std::string row;
    while (std::getline(in, row)) {
        std::smatch m;
        if (!std::regex_search(row, m, line)) continue;
        CaptureDisplay d;
        d.id = m[2].str();
        d.pixelWidth = std::atoll(m[3].str().c_str());
        d.pixelHeight = std::atoll(m[4].str().c_str());
        d.originX = std::atoll(m[5].str().c_str());
        d.originY = std::atoll(m[6].str().c_str());
        d.name = "Monitor " + d.id + " on " + displayName;
        if (d.pixelWidth <= 0 || d.pixelHeight <= 0) continue;
        (m[1].str() == "*" && primary.empty() ? primary : others).push_back(std::move(d));
    }
    primary.insert(primary.end(), others.begin(), others.end());
    if (!primary.empty()) primary.front().isDefault = true;
    return primary;
}

std::vector<CaptureDisplay> X11Backend::parseScreen(const std::string& text, const std::string& displayName) {
    static const std::regex dimensions(R"(dimensions:\s+(\d+)x(\d+)\s+pixels)");
    std::smatch m;
    if (!std::regex_search(text, m, dimensions)) return {};
    CaptureDisplay d;
    d.id = "screen";
    d.name = "Screen of " + displayName;
    d.pixelWidth = std::atoll(m[1].str().c_str());
    d.pixelHeight = std::atoll(m[2].str().c_str());
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
    target += "+" + std::to_string(d.originX) + "," + std::to_string(d.originY);
    Inputs in;
    in.arguments = {
        "-f",          "x11grab", "-framerate",  std::to_string(request.frameRate),
        "-draw_mouse", "1",       "-video_size", std::to_string(d.pixelWidth) + "x" + std::to_string(d.pixelHeight),
        "-i",          target};
    return in;
}

}  // namespace lumora
