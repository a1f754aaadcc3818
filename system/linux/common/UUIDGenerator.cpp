#include "UUIDGenerator.h"

#include <uuid/uuid.h>

namespace sentorix::linux_system {

std::string UUIDGenerator::random() {
    uuid_t uuid;
    uuid_generate_random(uuid);
    char text[37];
    uuid_unparse_upper(uuid, text);
    return std::string(text, 36);
}

}  // namespace sentorix::linux_system
