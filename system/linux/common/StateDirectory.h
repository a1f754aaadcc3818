#pragma once

#include <string>

namespace sentorix::linux_system {

// Where Sentorix keeps what persists: saved configurations, activated extensions, the extension's
// published status, its lock and its log. Names are relative to the directory, which is always
// reached through a SecureDirectory.
class StateDirectory {
public:
    static constexpr const char* Variable = "SENTORIX_STATE_DIR";
    static constexpr const char* Default = "/var/lib/sentorix";

    static constexpr const char* StatusName = "extension.status";
    static constexpr const char* LockName = "extension.lock";
    static constexpr const char* LogName = "extension.log";
    static constexpr const char* OlderLogName = "extension.log.1";
    static constexpr const char* ConfigurationsName = "configurations.plist";
    static constexpr const char* ConfigurationsLockName = "configurations.lock";
    // Held while the host activates and starts, so two at once never interleave.
    static constexpr const char* OperationLockName = "operation.lock";
    static constexpr const char* ExtensionsName = "SystemExtensions";

    // $SENTORIX_STATE_DIR, else /var/lib/sentorix.
    static std::string path();

    static std::string statusPath(const std::string& directory) { return directory + "/" + StatusName; }
    static std::string lockPath(const std::string& directory) { return directory + "/" + LockName; }
    static std::string logPath(const std::string& directory) { return directory + "/" + LogName; }
    static std::string configurationsPath(const std::string& directory) {
        return directory + "/" + ConfigurationsName;
    }
    static std::string extensionsPath(const std::string& directory) { return directory + "/" + ExtensionsName; }
    // The activated copy of the extension with this bundle identifier.
    static std::string activatedExtensionName(const std::string& identifier) {
        return identifier + ".systemextension";
    }
    static std::string activatedExtensionPath(const std::string& directory, const std::string& identifier) {
        return extensionsPath(directory) + "/" + activatedExtensionName(identifier);
    }
};

}  // namespace sentorix::linux_system
