#include "vantor/Output.h"

#include <string>

#include "RecorderAutomation/Protocol/PrettyJSON.h"

namespace vantor {

void emit(const nlohmann::json& value, std::ostream& out) {
    std::string text = recorder::PrettyJSON::write(value);
    text += '\n';
    out.write(text.data(), std::streamsize(text.size()));
    out.flush();
}

}  // namespace vantor
