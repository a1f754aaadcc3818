#pragma once

#include <optional>
#include <string>

namespace sentorix {

// An error value as the platform reports it: domain, code and a localized description.
class NSError {
public:
    static constexpr const char* POSIXDomain = "NSPOSIXErrorDomain";
    static constexpr const char* SentorixDomain = "SentorixProxy";

    NSError(std::string domain, long code, std::string localizedDescription);

    // A POSIX error whose description is the given text (or strerror when empty).
    static NSError posix(int errorNumber, std::string localizedDescription = {});

    const std::string& domain() const { return domain_; }
    long code() const { return code_; }
    const std::string& localizedDescription() const { return localizedDescription_; }

    // Names all three parts, e.g. Error Domain=SentorixProxy Code=1001 "Proxy handshake backlog exceeded".
    std::string description() const;

    bool operator==(const NSError&) const = default;

private:
    std::string domain_;
    long code_;
    std::string localizedDescription_;
};

using OptionalError = std::optional<NSError>;

}  // namespace sentorix
