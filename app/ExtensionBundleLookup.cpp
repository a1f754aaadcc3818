#include "ExtensionBundleLookup.h"

#include <filesystem>
#include <vector>

namespace sentorix {

ExtensionBundleLookup::ExtensionBundleLookup(std::shared_ptr<NSBundle> application,
                                             std::function<void(const std::string&)> fatal, Messages messages)
    : application_(std::move(application)), fatal_(std::move(fatal)), messages_(messages) {}

std::shared_ptr<NSBundle> ExtensionBundleLookup::bundle() {
    {
        std::lock_guard lock(mutex_);
        if (bundle_) {
            return bundle_;
        }
    }
    auto found = find();
    std::lock_guard lock(mutex_);
    if (!bundle_) {
        bundle_ = std::move(found);
    }
    return bundle_;
}

std::shared_ptr<NSBundle> ExtensionBundleLookup::find() const {
    const auto directory =
        std::filesystem::absolute(std::filesystem::path(application_->bundlePath) / "Contents/Library/SystemExtensions");
    std::vector<std::filesystem::path> entries;
    std::error_code error;
    std::filesystem::directory_iterator listing(directory, error);
    if (!error) {
        for (const auto& entry : listing) {
            if (entry.path().filename().string().rfind('.', 0) != 0) {
                entries.push_back(entry.path());
            }
        }
    } else if (messages_ == Messages::window) {
        fatal_("Failed to get the contents of " + directory.string() + ": " + error.message());
        return nullptr;
    }
    if (entries.empty()) {
        fatal_("Failed to find any system extensions");
        return nullptr;
    }
    auto bundle = NSBundle::bundleWithPath(entries.front().string());
    if (!bundle) {
        fatal_("Failed to create a bundle with URL " + entries.front().string());
    }
    return bundle;
}

}  // namespace sentorix
