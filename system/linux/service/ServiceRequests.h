#pragma once

#include "ConfigurationFileStore.h"
#include "ControlMessage.h"
#include "LinuxSystemExtensionManager.h"
#include "NSBundle.h"

#include <functional>
#include <memory>
#include <string>

namespace sentorix::linux_system {

class ExtensionSupervisor;

// What the service does for its clients, one request at a time on its worker thread: the saved
// configurations, activation and deactivation of the extension from the service's own application
// bundle (a client can only name an extension, never supply one), and starts and stops.
class ServiceRequests {
public:
    using Dictionary = ControlMessage::Dictionary;
    using Log = std::function<void(const std::string&)>;

    static constexpr std::size_t MaxConfigurations = 16;
    static_assert(MaxConfigurations * ControlMessage::MaxConfigurationBytes + ControlMessage::MaxBodyBytes <=
                      ControlMessage::MaxAnswerBytes,
                  "every saved configuration fits in one answer");

    ServiceRequests(std::string stateDirectory, std::shared_ptr<NSBundle> application,
                    std::shared_ptr<ExtensionSupervisor> supervisor, Log log);

    // The answer to a request that passed the wire's checks; a request with missing or mistyped
    // fields gets an error answer.
    Dictionary handle(const Dictionary& request);
    // At the service's start: the enabled configuration's extension runs again, as before a restart.
    void resume();

private:
    Dictionary loadAll();
    Dictionary save(const Dictionary& request);
    Dictionary load(const Dictionary& request);
    Dictionary activate(const Dictionary& request);
    Dictionary deactivate(const Dictionary& request);
    Dictionary start(const Dictionary& request);
    Dictionary stop();
    // Before a start: an activated extension that differs from the bundle's is activated again, and one
    // running from the old copy is stopped so that the start runs the new.
    OptionalError refresh(const std::string& identifier);

    const std::string stateDirectory_;
    const std::shared_ptr<ExtensionSupervisor> supervisor_;
    const std::shared_ptr<ConfigurationFileStore> store_;
    const std::shared_ptr<LinuxSystemExtensionManager> extensions_;
    const Log log_;
};

}  // namespace sentorix::linux_system
