#pragma once
// Percent-encoding of query values.

#include <string>
#include <string_view>

namespace recorder::PercentEncoding {

// Encodes every byte that may not stand literally in a query value: everything but the
// unreserved characters (letters, digits, "-", ".", "_", "~") and the query's harmless
// delimiters "!", "$", "'", "(", ")", "*", ",", ";", ":", "@", "?". "&", "=" and "#" would
// split the query, and "+" and "/" are encoded too, because form decoders read "+" as a blank
// and Base64 values carry both. Hex digits are upper case.
std::string encodeQueryValue(std::string_view bytes);

}  // namespace recorder::PercentEncoding
