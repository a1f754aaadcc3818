#include "ControlMessage.h"

#include "PropertyListFile.h"

#include <cstdlib>

#include <cerrno>

namespace sentorix::linux_system {

std::string ControlMessage::socketPath() {
    const char* set = std::getenv(SocketVariable);
    return set && *set ? set : DefaultSocket;
}

Result<std::string> ControlMessage::frame(Dictionary message, std::size_t limit) {
    message.insert_or_assign("version", Version);
    const auto body = PropertyListFile::serialize(PropertyListValue(std::move(message)), "a control message");
    if (!body) {
        return body.error();
    }
    if (body->size() > limit) {
        return NSError::posix(EMSGSIZE, "a control message of " + std::to_string(body->size()) +
                                            " bytes is longer than " + std::to_string(limit));
    }
    const auto length = static_cast<std::uint32_t>(body->size());
    std::string framed{static_cast<char>(length >> 24), static_cast<char>(length >> 16),
                       static_cast<char>(length >> 8), static_cast<char>(length)};
    return framed + *body;
}

std::size_t ControlMessage::bodyLength(const unsigned char (&header)[HeaderBytes]) {
    return (std::size_t{header[0]} << 24) | (std::size_t{header[1]} << 16) | (std::size_t{header[2]} << 8) |
           std::size_t{header[3]};
}

Result<ControlMessage::Dictionary> ControlMessage::parse(const std::string& body) {
    // A binary list can share one value among many references: a small request would expand to one
    // many times its size once written out.
    if (PropertyListBounds::isBinary(body)) {
        return NSError::posix(EINVAL, "binary property lists are not accepted; send XML");
    }
    auto value = PropertyListFile::parse(body, "the message");
    if (!value) {
        return value.error();
    }
    const auto* message = value->get<Dictionary>();
    if (!message) {
        return NSError::posix(EINVAL, "the message is not a dictionary");
    }
    const auto version = message->find("version");
    const auto* number = version == message->end() ? nullptr : version->second.get<std::int64_t>();
    if (!number || *number != Version) {
        return NSError::posix(EPROTO, "unsupported message version");
    }
    return *message;
}

ControlMessage::Dictionary ControlMessage::success(Dictionary fields) {
    fields.insert_or_assign("ok", true);
    return fields;
}

ControlMessage::Dictionary ControlMessage::failure(const NSError& error) {
    return {{"error", Dictionary{{"domain", error.domain()},
                                 {"code", static_cast<std::int64_t>(error.code())},
                                 {"description", error.localizedDescription()}}}};
}

OptionalError ControlMessage::errorIn(const Dictionary& answer) {
    if (const auto* error = dictionary(answer, "error")) {
        const auto* domain = text(*error, "domain");
        const auto code = error->find("code");
        const auto* number = code == error->end() ? nullptr : code->second.get<std::int64_t>();
        const auto* description = text(*error, "description");
        return NSError(domain ? *domain : ErrorDomain, number ? static_cast<long>(*number) : BadRequest,
                       description ? *description : "The service reported an error");
    }
    const auto ok = answer.find("ok");
    if (ok == answer.end() || !ok->second.get<bool>() || !*ok->second.get<bool>()) {
        return NSError(ErrorDomain, BadRequest, "The service gave an answer this program does not understand");
    }
    return std::nullopt;
}

const std::string* ControlMessage::text(const Dictionary& message, const char* key) {
    const auto found = message.find(key);
    return found == message.end() ? nullptr : found->second.get<std::string>();
}

const ControlMessage::Dictionary* ControlMessage::dictionary(const Dictionary& message, const char* key) {
    const auto found = message.find(key);
    return found == message.end() ? nullptr : found->second.get<Dictionary>();
}

}  // namespace sentorix::linux_system
