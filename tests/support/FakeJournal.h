#pragma once

#include "UniqueFd.h"
#include "UnixFrameServer.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <string>

namespace sentorix::testing {

// A journal's native socket in a temporary directory, reading back each entry as journald would.
class FakeJournal {
public:
    using Entry = std::multimap<std::string, std::string>;

    explicit FakeJournal(const std::string& name = "socket") : path_(directory_.file(name)) {
        socket_ = UniqueFd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
        ::bind(socket_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    const std::string& path() const { return path_; }

    // The next entry, or nothing within `waitMs`.
    std::optional<Entry> next(int waitMs = 1000) {
        pollfd ready{socket_.get(), POLLIN, 0};
        if (::poll(&ready, 1, waitMs) != 1) {
            return std::nullopt;
        }
        std::string datagram(1 << 20, '\0');
        const ssize_t n = ::recv(socket_.get(), datagram.data(), datagram.size(), 0);
        if (n < 0) {
            return std::nullopt;
        }
        datagram.resize(std::size_t(n));
        return parse(datagram);
    }

    // KEY=value lines, and KEY, newline, a 64-bit little-endian length and the bytes for the rest.
    static std::optional<Entry> parse(const std::string& datagram) {
        Entry entry;
        std::size_t at = 0;
        while (at < datagram.size()) {
            const auto end = datagram.find('\n', at);
            if (end == std::string::npos) {
                return std::nullopt;
            }
            const std::string line = datagram.substr(at, end - at);
            if (const auto equals = line.find('='); equals != std::string::npos) {
                entry.emplace(line.substr(0, equals), line.substr(equals + 1));
                at = end + 1;
                continue;
            }
            if (datagram.size() - (end + 1) < 8) {
                return std::nullopt;
            }
            std::uint64_t size = 0;
            for (int i = 7; i >= 0; --i) {
                size = (size << 8) | static_cast<unsigned char>(datagram[end + 1 + std::size_t(i)]);
            }
            const std::size_t value = end + 9;
            if (datagram.size() < value + size + 1 || datagram[value + size] != '\n') {
                return std::nullopt;
            }
            entry.emplace(line, datagram.substr(value, size));
            at = value + size + 1;
        }
        return entry;
    }

private:
    TempDir directory_;
    std::string path_;
    UniqueFd socket_;
};

}  // namespace sentorix::testing
