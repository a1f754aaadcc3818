#include "TestApplicationBundle.h"

#include "BundleFiles.h"
#include "PropertyListFile.h"

#include <filesystem>
#include <fstream>

namespace sentorix::testing {

TestApplicationBundle::TestApplicationBundle(const Options& options) {
    // Real directories: found by the file system's bundle loader, as the host finds its own.
    NSBundle::setLoader(linux_system::BundleFiles::loader());
    std::filesystem::create_directories(extensionsDirectory());
    PropertyListValue::Dictionary info{{"CFBundleIdentifier", "com.sentorix.desktop"}};
    if (options.bundleName) {
        info.emplace("CFBundleName", *options.bundleName);
    }
    // A bundle the test cannot write fails the test's own checks of it.
    static_cast<void>(linux_system::PropertyListFile::save(root_.path() + "/Sentorix.app/Contents/Info.plist", info));
    if (!options.withExtension) {
        return;
    }
    std::filesystem::create_directories(extensionPath() + "/Contents/MacOS");
    PropertyListValue::Dictionary extensionInfo{{"CFBundleExecutable", "com.sentorix.desktop.extension"},
                                                {"CFBundleShortVersionString", options.extensionVersion},
                                                {"CFBundleVersion", options.extensionVersion}};
    if (options.extensionIdentifier) {
        extensionInfo.emplace("CFBundleIdentifier", *options.extensionIdentifier);
    }
    static_cast<void>(linux_system::PropertyListFile::save(extensionPath() + "/Contents/Info.plist", extensionInfo));
    std::ofstream(extensionPath() + "/Contents/MacOS/com.sentorix.desktop.extension") << "#!/bin/sh\n";
}

}  // namespace sentorix::testing
