#include "ProviderHost.h"

#include "ConfigurationFileStore.h"
#include "LinuxProviderServices.h"
#include "PropertyListFile.h"
#include "RotatingLogSink.h"
#include "SecureDirectory.h"
#include "StateDirectory.h"
#include "UniqueFd.h"
#include "platform/DispatchQueue.h"
#include "platform/NEProvider.h"
#include "platform/NSBundle.h"
#include "platform/OSLog.h"
#include "platform/StringTrimming.h"

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
    std::string problem, temporary;
    UniqueFd file = directory.createTemporary("." + std::string(StateDirectory::StatusName) + ".", temporary, problem);
    if (!file.valid() || ::write(file.get(), content.data(), content.size()) != static_cast<ssize_t>(content.size())) {
        directory.removeFile(temporary);
        return;
    }
    file.reset();
    if (!directory.rename(temporary, StateDirectory::StatusName, problem)) {
        directory.removeFile(temporary);
    }
}

std::shared_ptr<NETunnelProviderProtocol> ProviderHost::loadProtocol(const std::string& directory,
                                                                     OptionalError& error) {
    auto protocol = std::make_shared<NETunnelProviderProtocol>();
    protocol->providerBundleIdentifier = ExtensionBundleIdentifier;
    protocol->serverAddress = "127.0.0.1";

    if (const char* file = std::getenv("SENTORIX_PROVIDER_CONFIGURATION"); file && *file) {
        const auto value = PropertyListFile::load(file, error);
        if (!value || !value->get<PropertyListValue::Dictionary>()) {
            if (!error) {
                error = NSError::posix(EINVAL, std::string(file) + " does not hold a dictionary");
            }
            return nullptr;
        }
        protocol->providerConfiguration = *value->get<PropertyListValue::Dictionary>();
        return protocol;
    }
    // The first enabled saved configuration for this extension.
    OptionalError ignored;
    const ConfigurationFileStore store(directory, nullptr);
    for (const auto& manager : store.readAll(ignored)) {
        const auto* saved = dynamic_cast<const NETunnelProviderProtocol*>(manager->protocolConfiguration.get());
        if (manager->isEnabled && saved && saved->providerBundleIdentifier == ExtensionBundleIdentifier) {
            protocol->providerConfiguration = saved->providerConfiguration.value_or(ProviderConfiguration{});
            return protocol;
        }
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

}  // namespace sentorix::linux_system

namespace sentorix {

namespace {

// Lives as long as the process.
struct Host {
    std::shared_ptr<const linux_system::SecureDirectory> stateDirectory;
    UniqueFd lock;
    std::shared_ptr<linux_system::LinuxProviderServices> services;
    std::shared_ptr<NETransparentProxyProvider> provider;
    std::unique_ptr<asio::signal_set> signals;
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
    linux_system::ProviderHost::publishStatus(*h.stateDirectory, "disconnecting");
    h.provider->stopProxy(reason, [] {});
    h.services->stop();
    linux_system::ProviderHost::publishStatus(*h.stateDirectory, "disconnected");
    std::fflush(nullptr);
    std::_Exit(0);
}

}  // namespace

void NEProvider::startSystemExtensionMode() {
    using linux_system::ProviderHost;
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
    std::string problem;
    auto state = linux_system::SecureDirectory::open(linux_system::StateDirectory::path(), true, problem);
    if (!state) {
        fail(problem);
    }
    h.stateDirectory = std::make_shared<const linux_system::SecureDirectory>(std::move(*state));
    const auto& directory = *h.stateDirectory;
    if (linux_system::RotatingLogSink::writesTo(directory, linux_system::StateDirectory::LogName, STDERR_FILENO)) {
        OSLog::setSink(std::make_shared<linux_system::RotatingLogSink>(
            h.stateDirectory, linux_system::StateDirectory::LogName, linux_system::StateDirectory::OlderLogName,
            std::vector<int>{STDERR_FILENO, STDOUT_FILENO}));
    }
    h.lock = directory.openFile(linux_system::StateDirectory::LockName, O_RDWR | O_CREAT, problem);
    if (!h.lock.valid()) {
        fail(problem);
    }
    // An open-file-description lock: the host application can test it without taking it.
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    if (::fcntl(h.lock.get(), F_OFD_SETLK, &whole) != 0) {
        fail("another extension is already running for " + directory.path());
    }
    ProviderHost::publishStatus(*h.stateDirectory, "connecting");
    NSBundle::setMainBundleIdentifier(std::string(ProviderHost::ExtensionBundleIdentifier));

    OptionalError error;
    auto protocol = ProviderHost::loadProtocol(h.stateDirectory->path(), error);
    if (!protocol) {
        ProviderHost::publishStatus(*h.stateDirectory, "disconnected", error->localizedDescription());
        fail(error->localizedDescription());
    }
    h.services = std::make_shared<linux_system::LinuxProviderServices>(protocol);
    h.provider = NEProviderPrincipalClass(h.services);
    h.services->attach(h.provider);

    h.signals = std::make_unique<asio::signal_set>(DispatchQueue::pool(), SIGINT, SIGTERM);
    h.signals->async_wait([](const std::error_code& signalError, int) {
        if (!signalError) {
            stopAndExit(NEProviderStopReason::UserInitiated);
        }
    });
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

void dispatchMain() {
    for (;;) {
        ::pause();
    }
}

}  // namespace sentorix
