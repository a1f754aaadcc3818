#pragma once

#include "StateDirectory.h"

#include <filesystem>
#include <fstream>
#include <string>

namespace sentorix::linux_system {

// Makes `bundle` the script that plays the extension's part (fake_extension.py), behaving as `mode` says:
// run, slow, fail or crash.
inline void makeFakeExtension(const std::string& bundle, const std::string& mode) {
    std::filesystem::create_directories(bundle + "/Contents/MacOS");
    std::ofstream(bundle + "/Contents/Info.plist")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
           "<key>CFBundleIdentifier</key><string>com.sentorix.desktop.extension</string>"
           "<key>CFBundleExecutable</key><string>fake_extension.py</string></dict></plist>";
    std::filesystem::copy_file(SENTORIX_FAKE_EXTENSION, bundle + "/Contents/MacOS/fake_extension.py",
                               std::filesystem::copy_options::overwrite_existing);
    std::ofstream(bundle + "/Contents/MacOS/mode") << mode;
}

// Activates it, in `stateDirectory`.
inline void activateFakeExtension(const std::string& stateDirectory, const std::string& mode) {
    makeFakeExtension(StateDirectory::activatedExtensionPath(stateDirectory, "com.sentorix.desktop.extension"), mode);
}

}  // namespace sentorix::linux_system
