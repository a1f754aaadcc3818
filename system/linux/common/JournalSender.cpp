#include "JournalSender.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sentorix::linux_system {

std::string JournalSender::namespaceSocket(std::string_view journalNamespace) {
    return "/run/systemd/journal." + std::string(journalNamespace) + "/socket";
}

bool JournalSender::standardErrorIsJournal() {
    const char* stream = std::getenv("JOURNAL_STREAM");
    if (!stream) {
        return false;
    }
    unsigned long long device = 0;
    unsigned long long inode = 0;
    struct stat status {};
    return std::sscanf(stream, "%llu:%llu", &device, &inode) == 2 && ::fstat(STDERR_FILENO, &status) == 0 &&
           status.st_dev == device && status.st_ino == inode;
}

std::string JournalSender::fieldName(std::string_view prefix, std::string_view key) {
    std::string name(prefix);
    for (const char c : key) {
        if (c >= 'a' && c <= 'z') {
            name += char(c - 'a' + 'A');
        } else if ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
            name += c;
        } else {
            name += '_';
        }
    }
    if (name.empty() || name[0] == '_' || (name[0] >= '0' && name[0] <= '9')) {
        name.insert(0, "X");
    }
    name.resize(std::min<std::size_t>(name.size(), 64));
    return name;
}

JournalSender::JournalSender(std::string socketPath, bool waits)
    : socketPath_(std::move(socketPath)), waits_(waits),
      socket_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | (waits ? 0 : SOCK_NONBLOCK), 0)) {
    if (socket_.valid()) {
        // Entries of a few kilobytes in a burst: room for many before the journal must catch up.
        const int bytes = 8 * 1024 * 1024;
        ::setsockopt(socket_.get(), SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
        // A journal that stops reading costs a waiting sender an entry, never its life.
        const timeval limit{WaitLimitSeconds, 0};
        ::setsockopt(socket_.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    }
}

Result<void> JournalSender::send(const std::vector<Field>& fields) const {
    if (!socket_.valid()) {
        return failure(EBADF, "Cannot open a socket to the journal");
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath_.size() >= sizeof address.sun_path) {
        return failure(ENAMETOOLONG, "The journal's socket path is too long: " + socketPath_);
    }
    std::memcpy(address.sun_path, socketPath_.data(), socketPath_.size());
    std::string entry;
    for (const auto& [name, value] : fields) {
        entry += name;
        if (value.find_first_of(std::string_view("\n\0", 2)) == std::string_view::npos) {
            entry += '=';
        } else {
            entry += '\n';
            std::uint64_t size = value.size();  // little-endian, as journald reads it
            for (int i = 0; i < 8; ++i) {
                entry += char((size >> (8 * i)) & 0xff);
            }
        }
        entry += value;
        entry += '\n';
    }
    for (;;) {
        const ssize_t sent = ::sendto(socket_.get(), entry.data(), entry.size(), MSG_NOSIGNAL,
                                      reinterpret_cast<const sockaddr*>(&address), sizeof address);
        if (sent >= 0) {
            return {};
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            // The kernel's words for this, "Resource temporarily unavailable", hide that the journal is not
            // reading.
            return failure(errno, "Cannot write to the journal at " + socketPath_ + ": " +
                                      (waits_ ? "it took nothing for " + std::to_string(WaitLimitSeconds) + " s"
                                              : std::string("it is behind")));
        }
        if (errno != EINTR) {
            return failure(errno, "Cannot write to the journal at " + socketPath_ + ": " + std::strerror(errno));
        }
    }
}

}  // namespace sentorix::linux_system
