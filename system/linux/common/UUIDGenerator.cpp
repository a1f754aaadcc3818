#include "UUIDGenerator.h"

#include <sys/random.h>
#include <uuid/uuid.h>

namespace sentorix::linux_system {

std::string UUIDGenerator::random() {
    uuid_t uuid;
    // libuuid's generator reseeds a fallback generator with five system calls per identifier, and every
    // relayed flow takes several: the kernel's random bytes, in the version 4 layout, are enough.
    if (::getrandom(uuid, sizeof uuid, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof uuid)) {
        uuid[6] = static_cast<unsigned char>((uuid[6] & 0x0F) | 0x40);  // version 4: random
        uuid[8] = static_cast<unsigned char>((uuid[8] & 0x3F) | 0x80);  // the variant of RFC 4122
    } else {
        uuid_generate_random(uuid);  // the kernel's pool is not ready yet, early in boot
    }
    char text[37];
    uuid_unparse_upper(uuid, text);
    return std::string(text, 36);
}

}  // namespace sentorix::linux_system
