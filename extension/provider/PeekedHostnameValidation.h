#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace sentorix {

// A name taken from a handshake or a request, as the flow's host: one trailing dot dropped, lower case.
// None for an address literal or for anything that could not be a DNS name.
std::optional<std::string> validatedPeekedHostname(std::string_view name);

}  // namespace sentorix
