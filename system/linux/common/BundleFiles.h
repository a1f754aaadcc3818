#pragma once

#include "NSBundle.h"

#include <memory>
#include <string>

namespace sentorix::linux_system {

// Bundles as directories with Contents/Info.plist; the running program's bundle is found from its
// executable's real path. Installed as NSBundle's loader by both programs.
class BundleFiles {
public:
    static std::shared_ptr<NSBundle> bundleWithPath(const std::string& path);
    static std::shared_ptr<NSBundle> mainBundle();
    static NSBundle::Loader loader() { return {&bundleWithPath, &mainBundle}; }
};

}  // namespace sentorix::linux_system
