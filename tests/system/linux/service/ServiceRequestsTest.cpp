#include "ServiceRequests.h"
#include "ConfigurationEntry.h"
#include "ControlServer.h"
#include "ExtensionSupervisor.h"
#include "KernelRedirection.h"
#include "FakeExtension.h"
#include "ManualMainQueue.h"
#include "ServiceConfigurationStore.h"
#include "ServiceExtensionManager.h"
#include "StateDirectory.h"
#include "TestApplicationBundle.h"
#include "NETunnelProviderProtocol.h"

#include <gtest/gtest.h>

#include <asio/executor_work_guard.hpp>
#include <asio/post.hpp>

#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

namespace sentorix::linux_system {
namespace {

// The service's answer as these tests read it: its fields, or nothing with the error.
std::optional<ControlMessage::Dictionary> askService(const std::string& path, ControlMessage::Dictionary request,
                                                     OptionalError& error) {
    auto answer = ServiceClient(path).ask(std::move(request));
    if (!answer) {
        error = answer.error();
        return std::nullopt;
    }
    return std::move(*answer);
}

using namespace std::chrono_literals;
using namespace sentorix::testing;

class AnsweringDelegate : public OSSystemExtensionRequestDelegate {
public:
    OSSystemExtensionReplacementAction actionForReplacingExtension(const OSSystemExtensionRequest&,
                                                                   const OSSystemExtensionProperties& existing,
                                                                   const OSSystemExtensionProperties& replacement) override {
        events.push_back("replace " + existing.bundleShortVersion + " with " + replacement.bundleShortVersion);
        return answer;
    }
    void requestNeedsUserApproval(const OSSystemExtensionRequest&) override {}
    void didFailWithError(const OSSystemExtensionRequest&, const NSError& error) override {
        events.push_back("failed " + std::to_string(error.code()));
    }
    void didFinishWithResult(const OSSystemExtensionRequest&, OSSystemExtensionRequestResult) override {
        events.push_back("finished");
    }
    OSSystemExtensionReplacementAction answer = OSSystemExtensionReplacementAction::replace;
    std::vector<std::string> events;
};

// The host's platform against the service's requests, over a real control socket: what the host
// sees is what the service did.
class ServiceRequestsTest : public ::testing::Test {
protected:
    void SetUp() override {
        supervisor = std::make_shared<ExtensionSupervisor>(
            [this](std::function<void()> block) { asio::post(work, std::move(block)); }, [](const std::string&) {},
            [](NEVPNStatus) {}, ExtensionSupervisor::Timing{}, DispatchTimerFactory::system(),
            std::make_shared<ChildExtensionLauncher>(state.path()), std::make_shared<KernelRedirection>());
        requests = std::make_shared<ServiceRequests>(state.path(), application.bundle(), supervisor,
                                                     [](const std::string&) {});
        auto listening = ControlServer::listen(
            io, path,
            [this](const std::shared_ptr<ControlSession>& session, ControlMessage::Dictionary request) {
                asio::post(work, [this, session, request = std::move(request)] {
                    auto answer = requests->handle(request);
                    asio::post(io, [session, answer = std::move(answer)] { session->answer(answer); });
                });
            });
        ASSERT_TRUE(listening) << listening.error().localizedDescription();
        server = std::move(*listening);
        ioThread = std::thread([this] { io.run(); });
        workThread = std::thread([this] { work.run(); });
    }
    void TearDown() override {
        asio::post(io, [this] { server.reset(); });
        ioGuard.reset();
        workGuard.reset();
        ioThread.join();
        workThread.join();
    }
    std::vector<std::string> activate(OSSystemExtensionReplacementAction answer) {
        auto manager = std::make_shared<ServiceExtensionManager>(ServiceClient(path));
        auto request = OSSystemExtensionRequest::activationRequest("com.sentorix.desktop.extension", mainQueue);
        auto delegate = std::make_shared<AnsweringDelegate>();
        delegate->answer = answer;
        request->delegate = delegate;
        manager->submitRequest(request);
        mainQueue->runUntil(
            [&] { return !delegate->events.empty() && delegate->events.back().rfind("replace", 0) != 0; }, 10s);
        return delegate->events;
    }

    TempDir state;
    TestApplicationBundle application{TestApplicationBundle::Options{.extensionVersion = "2.0"}};
    std::string path = state.path() + "/control.sock";
    asio::io_context io;
    asio::io_context work;
    asio::executor_work_guard<asio::io_context::executor_type> ioGuard = asio::make_work_guard(io);
    asio::executor_work_guard<asio::io_context::executor_type> workGuard = asio::make_work_guard(work);
    std::thread ioThread;
    std::thread workThread;
    std::shared_ptr<ExtensionSupervisor> supervisor;
    std::shared_ptr<ServiceRequests> requests;
    std::unique_ptr<ControlServer> server;
    std::shared_ptr<ManualMainQueue> mainQueue = std::make_shared<ManualMainQueue>();
};

TEST_F(ServiceRequestsTest, TheReplacementQuestionReachesTheHostAndItsAnswerIsKept) {
    EXPECT_EQ(activate(OSSystemExtensionReplacementAction::replace), std::vector<std::string>{"finished"});
    const std::string installed = StateDirectory::activatedExtensionPath(state.path(), "com.sentorix.desktop.extension");
    ASSERT_TRUE(std::filesystem::exists(installed + "/Contents/Info.plist"));

    // Cancelled: the activated copy stays as it was, and the host hears the cancellation.
    const auto stamp = std::filesystem::last_write_time(installed + "/Contents/Info.plist");
    EXPECT_EQ(activate(OSSystemExtensionReplacementAction::cancel),
              (std::vector<std::string>{"replace 2.0 with 2.0",
                                        "failed " + std::to_string(LinuxSystemExtensionManager::RequestCanceled)}));
    EXPECT_EQ(std::filesystem::last_write_time(installed + "/Contents/Info.plist"), stamp);

    EXPECT_EQ(activate(OSSystemExtensionReplacementAction::replace),
              (std::vector<std::string>{"replace 2.0 with 2.0", "finished"}));
}

// An upgrade, a downgrade or a reinstall puts another extension in the bundle: a start runs that one,
// not the copy activated before, nor the process still running from it.
TEST_F(ServiceRequestsTest, AStartRunsTheBundlesExtensionWhenTheActivatedCopyDiffers) {
    makeFakeExtension(application.extensionPath(), "run");
    ASSERT_EQ(activate(OSSystemExtensionReplacementAction::replace), std::vector<std::string>{"finished"});
    const auto start = [&] {
        const auto started =
            ServiceClient(path).ask({{"request", "start"}, {"extension", "com.sentorix.desktop.extension"}});
        EXPECT_TRUE(started.ok()) << started.error().localizedDescription();
        std::ifstream status(StateDirectory::statusPath(state.path()));
        std::string word, pid;
        std::getline(status, word);
        std::getline(status, pid);
        return word == "connected" ? std::stoi(pid) : 0;
    };
    const pid_t first = start();
    ASSERT_GT(first, 0);
    EXPECT_EQ(start(), first) << "the same extension: nothing to replace";

    std::ofstream(application.extensionPath() + "/Contents/MacOS/mode") << "run\n";  // the upgrade
    const pid_t second = start();
    EXPECT_GT(second, 0);
    EXPECT_NE(second, first);
    EXPECT_NE(::kill(first, 0), 0) << "the old copy's process has ended";
    std::ifstream copied(StateDirectory::activatedExtensionPath(state.path(), "com.sentorix.desktop.extension") +
                         "/Contents/MacOS/mode");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(copied), {}), "run\n");
    static_cast<void>(ServiceClient(path).ask({{"request", "stop"}}));
}

TEST_F(ServiceRequestsTest, AConfigurationSavedByTheHostLoadsBackWhole) {
    ServiceConfigurationStore store(ServiceClient(path), [](const NETransparentProxyManager&) { return nullptr; });
    auto manager = std::make_shared<NETransparentProxyManager>();
    auto tunnel = std::make_shared<NETunnelProviderProtocol>();
    tunnel->providerBundleIdentifier = "com.sentorix.desktop.extension";
    tunnel->serverAddress = "127.0.0.1:8080";
    tunnel->providerConfiguration = ProviderConfiguration{{"monitoringSocketPath", "/tmp/m.sock"}, {"n", 3}};
    manager->protocolConfiguration = tunnel;
    manager->isEnabled = true;
    std::promise<OptionalError> saved;
    store.save(manager, [&](OptionalError error) { saved.set_value(error); });
    ASSERT_FALSE(saved.get_future().get());
    EXPECT_FALSE(manager->identifier.empty()) << "the service's identifier reaches the host";

    std::promise<NETransparentProxyManager::Managers> loaded;
    store.loadAll([&](NETransparentProxyManager::Managers managers, OptionalError) { loaded.set_value(managers); });
    const auto managers = loaded.get_future().get();
    ASSERT_EQ(managers.size(), 1u);
    EXPECT_EQ(managers[0]->identifier, manager->identifier);
    EXPECT_TRUE(managers[0]->isEnabled);
    const auto* back = dynamic_cast<const NETunnelProviderProtocol*>(managers[0]->protocolConfiguration.get());
    ASSERT_TRUE(back);
    EXPECT_EQ(back->providerConfiguration, tunnel->providerConfiguration);

    // The store is bounded, so that all of it always fits in one answer; saving an existing one goes on.
    OptionalError error;
    for (std::size_t i = 1; i < ServiceRequests::MaxConfigurations; ++i) {
        ASSERT_TRUE(askService(
            path, {{"request", "save"}, {"configuration", ControlMessage::Dictionary{{"identifier", "made-up-" + std::to_string(i)}}}},
            error));
    }
    EXPECT_FALSE(askService(
        path, {{"request", "save"}, {"configuration", ControlMessage::Dictionary{{"identifier", "one-too-many"}}}}, error));
    EXPECT_TRUE(askService(path, {{"request", "save"}, {"configuration", ConfigurationEntry::encode(*manager)}}, error));
    EXPECT_TRUE(askService(path, {{"request", "loadAll"}}, error));

    // A start for a name that could reach outside the state directory is refused before anything runs.
    error.reset();
    EXPECT_FALSE(askService(path, {{"request", "start"}, {"extension", "../../bin"}}, error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), ControlMessage::BadRequest);
}

// A configuration of many short values grows when written out indented, well past the request that
// carried it: the bound is on what is written, and the largest allowed ones, every place taken, still
// fit in one answer and in the file.
TEST_F(ServiceRequestsTest, SavesAreBoundedAsWrittenAndTheLargestAllowedStillLoadInOneAnswer) {
    const auto saveOf = [&](const std::string& identifier, std::size_t values, OptionalError& error) {
        ControlMessage::Dictionary configuration{
            {"identifier", identifier},
            {"protocol", ControlMessage::Dictionary{
                             {"serverAddress", "127.0.0.1:8080"},
                             {"providerBundleIdentifier", "com.sentorix.desktop.extension"},
                             {"providerConfiguration",
                              ControlMessage::Dictionary{{"many", PropertyListValue::Array(values, PropertyListValue(""))}}}}}};
        error.reset();
        return askService(path, {{"request", "save"}, {"configuration", std::move(configuration)}}, error);
    };
    OptionalError error;
    // Small enough to send, too large once written.
    EXPECT_FALSE(saveOf("too-large", 2800, error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), ControlMessage::BadRequest);
    EXPECT_NE(error->localizedDescription().find("more than the"), std::string::npos) << error->localizedDescription();

    // The largest that saves lies between; identifiers of one length, so that each is as large.
    std::size_t accepted = 0, refused = 2800;
    while (refused - accepted > 1) {
        const std::size_t middle = (accepted + refused) / 2;
        (saveOf("cfg-00", middle, error) ? accepted : refused) = middle;
    }
    ASSERT_GT(accepted, 1000u);
    for (std::size_t i = 1; i < ServiceRequests::MaxConfigurations; ++i) {
        ASSERT_TRUE(saveOf((i < 10 ? "cfg-0" : "cfg-") + std::to_string(i), accepted, error)) << i << ": " << (error ? error->localizedDescription() : "");
    }
    const auto answer = askService(path, {{"request", "loadAll"}}, error);
    ASSERT_TRUE(answer) << (error ? error->localizedDescription() : "");
    const auto found = answer->find("configurations");
    ASSERT_NE(found, answer->end());
    EXPECT_EQ(found->second.get<PropertyListValue::Array>()->size(), ServiceRequests::MaxConfigurations);
}

}  // namespace
}  // namespace sentorix::linux_system
