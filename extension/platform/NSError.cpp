#include "NSError.h"

#include <cstring>

namespace sentorix {

NSError::NSError(std::string domain, long code, std::string localizedDescription)
    : domain_(std::move(domain)), code_(code), localizedDescription_(std::move(localizedDescription)) {}

NSError NSError::posix(int errorNumber, std::string localizedDescription) {
    if (localizedDescription.empty()) {
        localizedDescription = std::strerror(errorNumber);
    }
    return NSError(POSIXDomain, errorNumber, std::move(localizedDescription));
}

std::string NSError::description() const {
    return "Error Domain=" + domain_ + " Code=" + std::to_string(code_) + " \"" + localizedDescription_ + "\"";
}

}  // namespace sentorix
