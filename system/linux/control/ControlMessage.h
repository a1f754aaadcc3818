#pragma once

#include "NSError.h"
#include "Result.h"
#include "PropertyListValue.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace sentorix::linux_system {

// The messages of the service's control socket. Each is a frame: the body's length as 4 bytes, most
// significant first, then the body, an XML property list holding a dictionary with "version". Requests
// name their "request"; answers carry "ok" or an "error" (domain, code, description); pushed status
// changes carry "event".
class ControlMessage {
public:
    using Dictionary = PropertyListValue::Dictionary;

    static constexpr std::int64_t Version = 1;
    static constexpr std::size_t HeaderBytes = 4;
    // Far above any real request; a longer one is refused from its header, before it is read.
    static constexpr std::size_t MaxBodyBytes = 64 * 1024;
    // A saved configuration, as it is written inside an answer (the file holds it less deeply indented).
    static constexpr std::size_t MaxConfigurationBytes = 60 * 1024;
    // Answers hold every saved configuration (at most 16), with room for the rest of the answer.
    static constexpr std::size_t MaxAnswerBytes = 17 * MaxBodyBytes;

    static constexpr const char* SocketVariable = "SENTORIX_CONTROL_SOCKET";
    static constexpr const char* DefaultSocket = "/run/sentorix/sentorixd.sock";
    static constexpr const char* ErrorDomain = "SentorixServiceErrorDomain";
    static constexpr long PermissionDenied = 1;
    static constexpr long BadRequest = 2;
    static constexpr long ServiceUnavailable = 3;

    // $SENTORIX_CONTROL_SOCKET, else the default.
    static std::string socketPath();

    // The frame of `message` with the version added, unless it cannot be written or is longer than
    // `limit`.
    static Result<std::string> frame(Dictionary message, std::size_t limit = MaxBodyBytes);
    static std::size_t bodyLength(const unsigned char (&header)[HeaderBytes]);
    // A dictionary of this version, from XML; anything else is an error saying why.
    static Result<Dictionary> parse(const std::string& body);

    static Dictionary success(Dictionary fields = {});
    static Dictionary failure(const NSError& error);
    // The error an answer carries; an answer that is neither a success nor an error is one too.
    static OptionalError errorIn(const Dictionary& answer);

    static const std::string* text(const Dictionary& message, const char* key);
    static const Dictionary* dictionary(const Dictionary& message, const char* key);
};

}  // namespace sentorix::linux_system
