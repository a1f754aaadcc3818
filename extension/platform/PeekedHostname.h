#pragma once

#include <string>

namespace sentorix {

// What the first bytes an application sent say about the host it is talking to.
struct PeekedHostname {
    enum class Status { NeedMore, Found, Absent };
    Status status = Status::Absent;  // NeedMore: a prefix of something that may still name a host
    std::string hostname;            // when Found: lower case, without a trailing dot
};

}  // namespace sentorix
