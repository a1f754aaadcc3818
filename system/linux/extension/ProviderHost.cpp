#include "ProviderHost.h"

#include "ConfigurationFile.h"
#include "FlowRedirection.h"
#include "LinuxProviderServices.h"
#include "PropertyListFile.h"
#include "JournalLogSink.h"
#include "RotatingLogSink.h"
#include "SecureDirectory.h"
#include "StateDirectory.h"
#include "UniqueFd.h"
#include "DispatchQueue.h"
#include "ServiceHeartbeat.h"
#include "NEProvider.h"
#include "NSBundle.h"
#include "OSLog.h"
#include "StringTrimming.h"

#include <asio/post.hpp>
#include <asio/signal_set.hpp>

#include <fcntl.h>
#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace sentorix::linux_system {

void ProviderHost::publishStatus(const SecureDirectory& directory, const std::string& status,
                                 const std::string& lastError) {
    const std::string content = status + "\n" + std::to_string(::getpid()) + "\n" + lastError + "\n";
    // A status that cannot be published reads as the extension not running.
    static_cast<void>(directory.replaceFile(StateDirectory::StatusName, content, false));
}

Result<std::shared_ptr<NETunnelProviderProtocol>> ProviderHost::loadProtocol(const std::string& directory) {
    auto protocol = std::make_shared<NETunnelProviderProtocol>();
    protocol->providerBundleIdentifier = ExtensionBundleIdentifier;
    protocol->serverAddress = "127.0.0.1";

    if (const char* file = std::getenv("SENTORIX_PROVIDER_CONFIGURATION"); file && *file) {
        const auto value = PropertyListFile::load(file);
        if (!value || !value->get<PropertyListValue::Dictionary>()) {
            return value ? NSError::posix(EINVAL, std::string(file) + " does not hold a dictionary") : value.error();
        }
        protocol->providerConfiguration = *value->get<PropertyListValue::Dictionary>();
        return protocol;
    }
    // An unreadable store holds no configuration for us: the defaults below apply.
    const auto read = ConfigurationFile::read(directory);
    const auto entries = read ? *read : PropertyListValue::Array{};
    if (auto saved = ConfigurationFile::enabledProviderConfiguration(entries, ExtensionBundleIdentifier)) {
        protocol->providerConfiguration = std::move(*saved);
        return protocol;
    }
    ProviderConfiguration configuration;
    if (const char* path = std::getenv("SENTORIX_EXTENSION_MONITORING_SOCKET_PATH")) {
        if (const std::string trimmed = trimmingWhitespaceAndNewlines(path); !trimmed.empty()) {
            configuration.emplace("monitoringSocketPath", trimmed);
        }
    }
    protocol->providerConfiguration = configuration;
    return protocol;
}

namespace {

// Lives as long as the process.
struct Host {
    std::shared_ptr<const SecureDirectory> stateDirectory;
    UniqueFd lock;
    std::shared_ptr<LinuxProviderServices> services;
    std::shared_ptr<NETransparentProxyProvider> provider;
    std::unique_ptr<asio::signal_set> signals;
    std::unique_ptr<asio::signal_set> reassert;
    std::unique_ptr<ServiceHeartbeat> heartbeat;
};

Host& host() {
    static Host* instance = new Host;
    return *instance;
}

[[noreturn]] void fail(const std::string& message) {
    std::fprintf(stderr, "com.sentorix.desktop.extension: %s\n", message.c_str());
    std::fflush(nullptr);
    std::_Exit(1);
}

void stopAndExit(NEProviderStopReason reason) {
    auto& h = host();
    ProviderHost::publishStatus(*h.stateDirectory, "disconnecting");
    h.provider->stopProxy(reason, [] {});
    h.services->stop();
    ProviderHost::publishStatus(*h.stateDirectory, "disconnected");
    std::fflush(nullptr);
    std::_Exit(0);
}

// SIGUSR1: the service heard this process again after taking its redirection away.
void waitForReassert() {
    host().reassert->async_wait([](const std::error_code& signalError, int) {
        if (signalError) {
            return;
        }
        asio::post(DispatchQueue::waitingPool(), [] {
            if (const auto reasserted = host().services->reassertRedirection(); !reasserted) {
                // Unredirected for good is worse than a restart, which the service makes.
                OSLog::defaultLog().error(reasserted.error().localizedDescription() + "; stopping");
                stopAndExit(NEProviderStopReason::ProviderFailed);
            }
            waitForReassert();
        });
    });
}

}  // namespace

void ProviderHost::start(const PrincipalClass& principalClass) {
    std::signal(SIGPIPE, SIG_IGN);
    // Each relayed flow holds two descriptors: allow as many as the hard limit lets us.
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
    // Sixteen pool threads would each get a malloc arena that keeps what a burst of flows used.
    ::mallopt(M_ARENA_MAX, 4);
    auto& h = host();
    auto state = SecureDirectory::open(StateDirectory::path(), true);
    if (!state) {
        fail(state.error().localizedDescription());
    }
    h.stateDirectory = std::make_shared<const SecureDirectory>(std::move(*state));
    const auto& directory = *h.stateDirectory;
    if (JournalSender::standardErrorIsJournal()) {
        OSLog::setSink(std::make_shared<JournalLogSink>());
    } else if (RotatingLogSink::writesTo(directory, StateDirectory::LogName, STDERR_FILENO)) {
        OSLog::setSink(std::make_shared<RotatingLogSink>(
            h.stateDirectory, StateDirectory::LogName, StateDirectory::OlderLogName,
            std::vector<int>{STDERR_FILENO, STDOUT_FILENO}));
    }
    auto lock = directory.openFile(StateDirectory::LockName, O_RDWR | O_CREAT);
    if (!lock) {
        fail(lock.error().localizedDescription());
    }
    h.lock = std::move(*lock);
    // An open-file-description lock: the host application can test it without taking it.
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    if (::fcntl(h.lock.get(), F_OFD_SETLK, &whole) != 0) {
        fail("another extension is already running for " + directory.path());
    }
    ProviderHost::publishStatus(*h.stateDirectory, "connecting");
    NSBundle::setMainBundleIdentifier(std::string(ProviderHost::ExtensionBundleIdentifier));

    auto protocol = ProviderHost::loadProtocol(h.stateDirectory->path());
    if (!protocol) {
        ProviderHost::publishStatus(*h.stateDirectory, "disconnected", protocol.error().localizedDescription());
        fail(protocol.error().localizedDescription());
    }
    // The kernel programs where they load, else nftables: chosen once the first rules come.
    h.services = std::make_shared<LinuxProviderServices>(*protocol, chooseFlowRedirection);
    h.provider = principalClass(h.services);
    h.services->attach(h.provider);

    h.heartbeat = ServiceHeartbeat::fromEnvironment();
    h.signals = std::make_unique<asio::signal_set>(DispatchQueue::pool(), SIGINT, SIGTERM);
    h.signals->async_wait([](const std::error_code& signalError, int) {
        if (!signalError) {
            stopAndExit(NEProviderStopReason::UserInitiated);
        }
    });
    h.reassert = std::make_unique<asio::signal_set>(DispatchQueue::pool(), SIGUSR1);
    waitForReassert();
    h.provider->startProxy(std::nullopt, [](OptionalError startError) {
        auto& h = host();
        if (startError) {
            ProviderHost::publishStatus(*h.stateDirectory, "disconnected", startError->localizedDescription());
            h.provider->stopProxy(NEProviderStopReason::ProviderFailed, [] {});
            h.services->stop();
            fail("cannot start: " + startError->description());
        }
        ProviderHost::publishStatus(*h.stateDirectory, "connected");
    });
}

}  // namespace sentorix::linux_system
