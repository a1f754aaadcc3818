// sentorix: the host application. Installs, configures, starts and stops the Sentorix extension,
// from the command line or its control window. This file is also its composition root: the one
// place where the Linux platform and the host's logic are joined.

#include "AppDelegate.h"
#include "HostProcess.h"
#include "QtMainQueue.h"
#include "ViewController.h"
#include "NETransparentProxyManager.h"

#include "BundleFiles.h"
#include "NETunnelProviderProtocol.h"
#include "NSUUID.h"
#include "ServiceClient.h"
#include "ServiceConfigurationStore.h"
#include "ServiceConnection.h"
#include "ServiceExtensionManager.h"
#include "UUIDGenerator.h"

#include <QApplication>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>

namespace {

constexpr const char* Usage =
    "Usage: sentorix [--start-proxy | --stop-proxy | --deactivate-extension | --status]\n"
    "\n"
    "Routes the TCP traffic of this machine's applications through the local HTTP proxy at\n"
    "127.0.0.1:8080. Without a switch it opens the control window.\n"
    "\n"
    "  --start-proxy           activate the extension, save and enable the configuration, start it\n"
    "  --stop-proxy            stop the extension and disable the configuration\n"
    "  --deactivate-extension  stop and remove the activated extension\n"
    "  --status                print the connection status: invalid, disconnected, connecting,\n"
    "                          connected, reasserting or disconnecting\n"
    "  --version               print the version\n"
    "  --help                  print this help\n"
    "\n"
    "Environment:\n"
    "  SENTORIX_CONTROL_SOCKET                    the Sentorix service's socket (default\n"
    "                                             /run/sentorix/sentorixd.sock)\n"
    "  SENTORIX_EXTENSION_MONITORING_SOCKET_PATH  Unix socket that receives the extension's events;\n"
    "                                             saved into the configuration on every start\n"
    "\n"
    "The Sentorix service (sentorixd) does the work: the user must be root or a member of the group\n"
    "'sentorix'. When the service is not running, each switch prints one line saying so.\n"
    "\n"
    "Exit status: 0 on success, 1 when the operation failed, 2 for a usage error.\n";

const std::set<std::string> CommandLineSwitches = {"--start-proxy", "--stop-proxy", "--deactivate-extension",
                                                    "--status"};

std::shared_ptr<sentorix::AppDelegate> delegate;

// The configuration store, connections and the system-extension manager, all carried out by the
// service; their callbacks reach the application on the queues its requests and observers name.
void composeHostPlatform(const sentorix::linux_system::ServiceClient& client) {
    using namespace sentorix;
    NEConfigurationStore::setShared(std::make_shared<linux_system::ServiceConfigurationStore>(
        client, [client](const NETransparentProxyManager& manager) {
            const auto* tunnel = dynamic_cast<const NETunnelProviderProtocol*>(manager.protocolConfiguration.get());
            return std::make_shared<linux_system::ServiceConnection>(
                client, tunnel ? tunnel->providerBundleIdentifier : "com.sentorix.desktop.extension");
        }));
    OSSystemExtensionManager::setShared(std::make_shared<linux_system::ServiceExtensionManager>(client));
}

void printStatus() {
    sentorix::NETransparentProxyManager::loadAllFromPreferences(
        [](sentorix::NETransparentProxyManager::Managers managers, sentorix::OptionalError error) {
            if (error) {
                std::printf("Error reading the saved configuration: %s\n", error->localizedDescription().c_str());
                std::fflush(nullptr);
                std::_Exit(1);
            }
            const auto status =
                managers.empty() ? sentorix::NEVPNStatus::invalid : managers.front()->connection()->status();
            std::printf("%s\n", sentorix::statusName(status).c_str());
            std::fflush(nullptr);
            std::_Exit(0);
        });
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    bool commandLine = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--help" || argument == "-h") {
            std::fputs(Usage, stdout);
            return 0;
        }
        if (argument == "--version") {
            std::printf("sentorix %s\n", SENTORIX_VERSION);
            return 0;
        }
        if (CommandLineSwitches.count(argument)) {
            commandLine = true;
        } else if (argument.rfind("--", 0) == 0) {
            std::fprintf(stderr, "sentorix: unknown option '%s'\n\n%s", argument.c_str(), Usage);
            return 2;
        }
    }
    // Qt would abort without a display; a platform named explicitly (offscreen, say) is the user's choice.
    const auto set = [](const char* name) { return std::getenv(name) && *std::getenv(name); };
    if (!commandLine && !set("DISPLAY") && !set("WAYLAND_DISPLAY") && !set("QT_QPA_PLATFORM")) {
        std::fprintf(stderr,
                     "sentorix: no display for the control window (neither DISPLAY nor WAYLAND_DISPLAY is set); "
                     "without one, use a switch such as --status or --start-proxy (see --help)\n");
        return 1;
    }
    // Taken before Qt removes its own arguments: the switches count anywhere in the list.
    auto process = sentorix::HostProcess::current(argc, argv);

    sentorix::NSUUID::setGenerator(&sentorix::linux_system::UUIDGenerator::random);
    sentorix::NSBundle::setLoader(sentorix::linux_system::BundleFiles::loader());
    auto bundle = sentorix::NSBundle::mainBundle();
    if (!bundle) {
        std::fprintf(stderr, "sentorix: must run from its application bundle (Sentorix.app/Contents/MacOS/sentorix)\n");
        return 1;
    }
    sentorix::NSBundle::setMainBundleIdentifier(bundle->bundleIdentifier());

    // With a switch no display is needed.
    std::unique_ptr<QCoreApplication> application =
        commandLine ? std::make_unique<QCoreApplication>(argc, argv) : std::make_unique<QApplication>(argc, argv);
    sentorix::MainQueue::setMain(std::make_shared<sentorix::QtMainQueue>());
    const sentorix::linux_system::ServiceClient client;
    if (commandLine && !client.reachable()) {
        std::printf("%s\n", client.notRunning().localizedDescription().c_str());
        return 1;
    }
    composeHostPlatform(client);

    if (process.hasArgument("--status") && !process.hasArgument("--start-proxy") &&
        !process.hasArgument("--stop-proxy") && !process.hasArgument("--deactivate-extension")) {
        printStatus();
        return application->exec();
    }
    delegate = std::make_shared<sentorix::AppDelegate>(process, bundle);
    std::unique_ptr<sentorix::ViewController> window;
    if (!commandLine) {
        window = std::make_unique<sentorix::ViewController>(process, bundle);
        window->show();
    }
    QTimer::singleShot(0, [] { delegate->applicationDidFinishLaunching(); });
    return application->exec();
}
