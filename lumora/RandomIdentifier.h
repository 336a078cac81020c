#pragma once
// The identifiers Lumora hands out (its instance, each recording session): random UUIDs in
// capitals, so that no two runs or sessions share one.

#include <string>
#include <uuid/uuid.h>

namespace lumora {

inline std::string randomIdentifier() {
    uuid_t uuid;
    uuid_generate_random(uuid);
    char text[37];
    uuid_unparse_upper(uuid, text);
    return text;
}

}  // namespace lumora
