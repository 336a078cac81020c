#pragma once
// Standard Base64 (the RFC 4648 alphabet, with padding, no line breaks).

#include <string>
#include <string_view>

namespace recorder::Base64 {

std::string encode(std::string_view bytes);

}  // namespace recorder::Base64
