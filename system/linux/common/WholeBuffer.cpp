#include "WholeBuffer.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace sentorix::linux_system {

std::size_t WholeBuffer::write(int fd, const void* bytes, std::size_t length) {
    const auto* next = static_cast<const char*>(bytes);
    std::size_t done = 0;
    while (done < length) {
        const ssize_t written = ::write(fd, next + done, length - done);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            if (written == 0) {
                errno = EIO;  // no progress and no reason: never spin on it
            }
            break;
        }
        done += static_cast<std::size_t>(written);
    }
    return done;
}

ssize_t WholeBuffer::read(int fd, void* buffer, std::size_t length) {
    auto* next = static_cast<char*>(buffer);
    std::size_t done = 0;
    while (done < length) {
        const ssize_t got = ::read(fd, next + done, length - done);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return -1;
        }
        if (got == 0) {
            break;
        }
        done += static_cast<std::size_t>(got);
    }
    return static_cast<ssize_t>(done);
}

Result<std::string> WholeBuffer::readToEnd(int fd, std::size_t limit) {
    std::string content;
    char buffer[64 * 1024];
    while (content.size() < limit) {
        const std::size_t wanted = std::min(sizeof buffer, limit - content.size());
        const ssize_t got = read(fd, buffer, wanted);
        if (got < 0) {
            return failure(errno, "read");
        }
        content.append(buffer, static_cast<std::size_t>(got));
        if (static_cast<std::size_t>(got) < wanted) {
            break;
        }
    }
    return content;
}

}  // namespace sentorix::linux_system
