#pragma once
// What a recording captures.

#include "RecorderAutomation/Protocol/WireEnumeration.h"

namespace recorder {

enum class SourceKind { display, window, region };

constexpr auto wireTexts(SourceKind) {
    using enum SourceKind;
    return wireTable<SourceKind>("source kind", {{display, "display"}, {window, "window"}, {region, "region"}});
}
using source_kind = WireEnumeration<SourceKind>;

}  // namespace recorder
