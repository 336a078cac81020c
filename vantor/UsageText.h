#pragma once
// vantor's usage text, in one place for --help and for every usage error.

#include <ostream>
#include <string_view>

#include "vantor/OutputChannel.h"

namespace vantor {

// The usage text, without a trailing newline.
extern const std::string_view usageText;

// Writes the usage text and one newline as one block (vantor sends it to standard error only).
void writeUsage(std::ostream& err);
void writeUsage(const OutputChannel& err);

}  // namespace vantor
