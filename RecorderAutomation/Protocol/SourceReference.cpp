#include "RecorderAutomation/Protocol/SourceReference.h"

#include "RecorderAutomation/Protocol/JSONObjectReader.h"

namespace recorder {

nlohmann::json SourceReference::toJSON() const { return JSONObjectWriter().put("kind", kind).put("id", id).take(); }

SourceReference SourceReference::fromJSON(const nlohmann::json& value, const CodingPath& path) {
    const JSONObjectReader reader(value, path);
    return {reader.required<SourceKind>("kind"), reader.required<std::string>("id")};
}

}  // namespace recorder
