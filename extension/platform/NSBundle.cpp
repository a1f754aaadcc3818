#include "NSBundle.h"

#include <mutex>

namespace sentorix {

namespace {
std::mutex bundleMutex;
std::optional<std::string> mainIdentifier;
NSBundle::Loader installedLoader;

NSBundle::Loader loader() {
    std::lock_guard lock(bundleMutex);
    return installedLoader;
}
}  // namespace

void NSBundle::setLoader(Loader loader) {
    std::lock_guard lock(bundleMutex);
    installedLoader = std::move(loader);
}

std::shared_ptr<NSBundle> NSBundle::bundleWithPath(const std::string& path) {
    const auto current = loader();
    return current.bundleWithPath ? current.bundleWithPath(path) : nullptr;
}

std::shared_ptr<NSBundle> NSBundle::mainBundle() {
    const auto current = loader();
    return current.mainBundle ? current.mainBundle() : nullptr;
}

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
