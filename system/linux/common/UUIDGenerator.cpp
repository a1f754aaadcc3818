#include "UUIDGenerator.h"

#include <pthread.h>
#include <sys/random.h>
#include <uuid/uuid.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <mutex>

namespace sentorix::linux_system {

namespace {

// A child of fork() starts with its parent's unused bytes: it must not hand out the same identifiers.
std::atomic<unsigned> forkGeneration{0};

void countForks() {
    static std::once_flag registered;
    std::call_once(registered, [] { ::pthread_atfork(nullptr, nullptr, [] { forkGeneration.fetch_add(1); }); });
}

// The kernel's random bytes, taken a few identifiers' worth at a time: one system call per 64
// identifiers instead of one each, and no lock, since every thread keeps its own.
struct RandomBytes {
    static constexpr std::size_t Size = 64 * sizeof(uuid_t);
    std::array<unsigned char, Size> bytes{};
    std::size_t used = Size;
    unsigned generation = 0;

    bool take(unsigned char* out, std::size_t count) {
        const unsigned current = forkGeneration.load(std::memory_order_relaxed);
        if (used + count > Size || generation != current) {
            if (::getrandom(bytes.data(), Size, GRND_NONBLOCK) != static_cast<ssize_t>(Size)) {
                return false;
            }
            used = 0;
            generation = current;
        }
        std::memcpy(out, bytes.data() + used, count);
        std::memset(bytes.data() + used, 0, count);  // handed out once
        used += count;
        return true;
    }
};

}  // namespace

std::string UUIDGenerator::random() {
    countForks();
    thread_local RandomBytes source;
    uuid_t uuid;
    // libuuid's generator reseeds a fallback generator with five system calls per identifier, and every
    // relayed flow takes several: the kernel's random bytes, in the version 4 layout, are enough.
    if (source.take(uuid, sizeof uuid)) {
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
