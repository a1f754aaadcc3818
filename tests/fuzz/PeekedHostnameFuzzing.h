#pragma once

// What the fuzzers of the peeked-hostname parsers hold them to.

#include "platform/PeekedHostname.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>

namespace sentorix::fuzzing {

inline void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "parser property broken: %s\n", what);
        std::abort();
    }
}

inline std::uint32_t nextRandom(std::uint32_t& random) {
    random = random * 1103515245u + 12345u;
    return random >> 16;
}

// Written apart from the parsers' own check, so that one mistake does not hide in both.
inline bool isValidFoundName(const std::string& name) {
    if (name.empty() || name.size() > 253 || name.front() == '.' || name.back() == '.' ||
        name.find("..") != std::string::npos) {
        return false;
    }
    std::size_t labelStart = 0;
    for (std::size_t i = 0; i <= name.size(); ++i) {
        if (i == name.size() || name[i] == '.') {
            if (i - labelStart > 63) {
                return false;
            }
            labelStart = i + 1;
            continue;
        }
        const char c = name[i];
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_')) {
            return false;
        }
    }
    const std::string last = name.substr(name.rfind('.') + 1);
    const bool decimal = last.find_first_not_of("0123456789") == std::string::npos;
    const bool hex = last.starts_with("0x") && last.find_first_not_of("0123456789abcdef", 2) == std::string::npos;
    return !decimal && !hex;
}

// The whole stream, then growing prefixes of it as repeated peeks would see them: a prefix either needs
// more or already says exactly what the whole says, and nothing needs more once the peek limit is in.
template <class Parse>
PeekedHostname checkPeeks(Parse parse, std::span<const std::uint8_t> stream, std::size_t maxPeekBytes,
                          std::uint32_t random) {
    using Status = PeekedHostname::Status;
    const PeekedHostname whole = parse(stream);
    check(whole.status != Status::NeedMore || stream.size() < maxPeekBytes, "needs more past the peek limit");
    check(whole.status == Status::Found ? isValidFoundName(whole.hostname) : whole.hostname.empty(),
          "an invalid name, or a name without Found");
    bool decided = false;
    // Mostly coarse steps, so that large inputs stay cheap; the prefix one byte short of the whole always.
    for (std::size_t length = 0; length + 1 < stream.size();) {
        length = std::min(stream.size() - 1, length + 1 + nextRandom(random) % (1 + stream.size() / 16));
        const PeekedHostname peek = parse(stream.first(length));
        if (peek.status == Status::NeedMore) {
            check(!decided, "needs more after a shorter prefix decided");
            check(peek.hostname.empty(), "a name while needing more");
            continue;
        }
        decided = true;
        check(peek.status == whole.status && peek.hostname == whole.hostname,
              "a prefix decided otherwise than the whole");
    }
    return whole;
}

}  // namespace sentorix::fuzzing
