#include "NSBundle.h"

#include <mutex>

namespace sentorix {

namespace {
std::mutex bundleMutex;
std::optional<std::string> mainIdentifier;
}  // namespace

std::optional<std::string> NSBundle::mainBundleIdentifier() {
    std::lock_guard lock(bundleMutex);
    return mainIdentifier;
}

void NSBundle::setMainBundleIdentifier(std::optional<std::string> identifier) {
    std::lock_guard lock(bundleMutex);
    mainIdentifier = std::move(identifier);
}

}  // namespace sentorix

namespace sentorix {

std::optional<std::string> NSBundle::infoString(const std::string& key) const {
    const auto found = infoDictionary.find(key);
    if (found == infoDictionary.end() || !found->second.get<std::string>()) {
        return std::nullopt;
    }
    return *found->second.get<std::string>();
}

}  // namespace sentorix
