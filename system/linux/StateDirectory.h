#pragma once

#include <string>

namespace sentorix::linux_system {

// Where Sentorix keeps what persists: saved configurations, activated extensions, the extension's
// published status and its lock.
class StateDirectory {
public:
    static constexpr const char* Variable = "SENTORIX_STATE_DIR";
    static constexpr const char* Default = "/var/lib/sentorix";

    // $SENTORIX_STATE_DIR, else /var/lib/sentorix.
    static std::string path();

    static std::string statusPath(const std::string& directory) { return directory + "/extension.status"; }
    static std::string lockPath(const std::string& directory) { return directory + "/extension.lock"; }
    static std::string logPath(const std::string& directory) { return directory + "/extension.log"; }
    static std::string configurationsPath(const std::string& directory) {
        return directory + "/configurations.plist";
    }
    static std::string configurationsLockPath(const std::string& directory) {
        return directory + "/configurations.lock";
    }
    static std::string extensionsPath(const std::string& directory) { return directory + "/SystemExtensions"; }
    // The activated copy of the extension with this bundle identifier.
    static std::string activatedExtensionPath(const std::string& directory, const std::string& identifier) {
        return extensionsPath(directory) + "/" + identifier + ".systemextension";
    }
};

}  // namespace sentorix::linux_system
