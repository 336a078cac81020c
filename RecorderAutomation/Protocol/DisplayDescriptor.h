#pragma once
// One display that can be recorded.

#include "RecorderAutomation/Protocol/WireObject.h"

namespace recorder {

struct DisplayDescriptor {
    // The source "id" of a start request; valid until the display goes or the app restarts.
    std::string id{};
    std::string name{};
    std::int64_t pixelWidth = 0;
    std::int64_t pixelHeight = 0;
    std::optional<double> pointWidth{};
    std::optional<double> pointHeight{};
    // Pixels per point.
    std::optional<double> scale{};
    bool isDefault = false;

    static constexpr auto wireFields() {
        using D = DisplayDescriptor;
        return wire::fields(
            wire::required("id", &D::id), wire::required("name", &D::name),
            wire::required("pixelWidth", &D::pixelWidth), wire::required("pixelHeight", &D::pixelHeight),
            wire::optional("pointWidth", &D::pointWidth), wire::optional("pointHeight", &D::pointHeight),
            wire::optional("scale", &D::scale), wire::required("isDefault", &D::isDefault));
    }
    RECORDER_WIRE_CODING(DisplayDescriptor)
    bool operator==(const DisplayDescriptor&) const = default;
};

}  // namespace recorder
