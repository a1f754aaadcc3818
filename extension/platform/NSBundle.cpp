#include "NSBundle.h"

#include <mutex>

namespace sentorix {

namespace {
std::mutex bundleMutex;
std::optional<std::string> bundleIdentifier;
}  // namespace

std::optional<std::string> NSBundle::mainBundleIdentifier() {
    std::lock_guard lock(bundleMutex);
    return bundleIdentifier;
}

void NSBundle::setMainBundleIdentifier(std::optional<std::string> identifier) {
    std::lock_guard lock(bundleMutex);
    bundleIdentifier = std::move(identifier);
}

}  // namespace sentorix
