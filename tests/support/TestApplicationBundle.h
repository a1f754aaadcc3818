#pragma once

#include "UnixFrameServer.h"
#include "NSBundle.h"

#include <memory>
#include <optional>
#include <string>

namespace sentorix::testing {

// An application bundle in a temporary directory, with one extension bundle inside it.
class TestApplicationBundle {
public:
    struct Options {
        std::optional<std::string> bundleName = "Sentorix";
        // Absent: the extension's Info.plist has no identifier.
        std::optional<std::string> extensionIdentifier = "com.sentorix.desktop.extension";
        std::string extensionVersion = "1.0";
        bool withExtension = true;
    };

    TestApplicationBundle() : TestApplicationBundle(Options{}) {}
    explicit TestApplicationBundle(const Options& options);

    std::shared_ptr<NSBundle> bundle() const { return NSBundle::bundleWithPath(root_.path() + "/Sentorix.app"); }
    std::string extensionsDirectory() const { return root_.path() + "/Sentorix.app/Contents/Library/SystemExtensions"; }
    std::string extensionPath() const {
        return extensionsDirectory() + "/com.sentorix.desktop.extension.systemextension";
    }

private:
    TempDir root_;
};

}  // namespace sentorix::testing
