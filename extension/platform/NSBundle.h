#pragma once

#include "PropertyListValue.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace sentorix {

// A bundle: a directory with an information dictionary. Also the running program's own identity,
// as far as the log handles need it.
class NSBundle {
public:
    // How bundles are found on this system; the program's composition root installs it.
    struct Loader {
        std::function<std::shared_ptr<NSBundle>(const std::string& path)> bundleWithPath;
        std::function<std::shared_ptr<NSBundle>()> mainBundle;
    };
    static void setLoader(Loader loader);

    // The bundle of the running program: its executable's real path, two levels up from
    // Contents/MacOS. Null when the program does not run from a bundle.
    static std::shared_ptr<NSBundle> mainBundle();
    // Null when `path` is not a directory, or no loader is installed. A missing or unreadable Info.plist leaves the information
    // dictionary empty.
    static std::shared_ptr<NSBundle> bundleWithPath(const std::string& path);

    NSBundle(std::string bundlePath, PropertyListValue::Dictionary infoDictionary)
        : bundlePath(std::move(bundlePath)), infoDictionary(std::move(infoDictionary)) {}

    std::optional<std::string> bundleIdentifier() const { return infoString("CFBundleIdentifier"); }
    // A text value of the information dictionary.
    std::optional<std::string> infoString(const std::string& key) const;

    const std::string bundlePath;
    const PropertyListValue::Dictionary infoDictionary;

    static std::optional<std::string> mainBundleIdentifier();
    // Set once by the process host at start-up, before any provider is built.
    static void setMainBundleIdentifier(std::optional<std::string> identifier);
};

}  // namespace sentorix
