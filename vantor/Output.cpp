#include "vantor/Output.h"

#include <string>

#include "RecorderAutomation/Protocol/PrettyJSON.h"

namespace vantor {

void emit(const nlohmann::json& value, const OutputChannel& out) {
    std::string text = recorder::PrettyJSON::write(value);
    text += '\n';
    out.write(text);
}

}  // namespace vantor
