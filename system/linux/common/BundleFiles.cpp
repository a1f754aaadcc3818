#include "BundleFiles.h"

#include "PropertyListFile.h"

#include <filesystem>

namespace sentorix::linux_system {

std::shared_ptr<NSBundle> BundleFiles::bundleWithPath(const std::string& path) {
    std::error_code error;
    if (!std::filesystem::is_directory(path, error)) {
        return nullptr;
    }
    PropertyListValue::Dictionary info;
    const std::string infoPath = path + "/Contents/Info.plist";
    if (std::filesystem::exists(infoPath, error)) {
        // A bundle whose Info.plist cannot be read has no identifier: it is looked over, as elsewhere.
        if (auto value = PropertyListFile::load(infoPath)) {
            if (const auto* dictionary = value->get<PropertyListValue::Dictionary>()) {
                info = *dictionary;
            }
        }
    }
    return std::make_shared<NSBundle>(path, std::move(info));
}

std::shared_ptr<NSBundle> BundleFiles::mainBundle() {
    std::error_code error;
    const auto executable = std::filesystem::canonical("/proc/self/exe", error);
    if (error) {
        return nullptr;
    }
    const auto macOS = executable.parent_path();
    const auto contents = macOS.parent_path();
    if (macOS.filename() != "MacOS" || contents.filename() != "Contents") {
        return nullptr;
    }
    return bundleWithPath(contents.parent_path().string());
}

}  // namespace sentorix::linux_system
