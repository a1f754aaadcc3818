#include "AppDelegate.h"
#include "FakeConfigurationStore.h"
#include "FakeSystemExtensionManager.h"
#include "ManualMainQueue.h"
#include "RecordingHostProcess.h"
#include "TestApplicationBundle.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace sentorix {
namespace {

using ::testing::ElementsAre;
using namespace sentorix::testing;

class AppDelegateTest : public ::testing::Test {
protected:
    void SetUp() override {
        MainQueue::setMain(mainQueue);
        NEConfigurationStore::setShared(store);
        OSSystemExtensionManager::setShared(extensions);
    }
    void TearDown() override {
        MainQueue::setMain(nullptr);
        NEConfigurationStore::setShared(nullptr);
        OSSystemExtensionManager::setShared(nullptr);
    }

    std::shared_ptr<AppDelegate> launch(std::vector<std::string> arguments,
                                        std::map<std::string, std::string> environment = {}) {
        arguments.insert(arguments.begin(), "sentorix");
        process = std::make_unique<RecordingHostProcess>(std::move(arguments), std::move(environment));
        // Kept, as the process keeps its delegate: requests hold theirs weakly.
        delegate = std::make_shared<AppDelegate>(process->process(), application.bundle());
        delegate->applicationDidFinishLaunching();
        mainQueue->runAll();
        return delegate;
    }
    // Lets the system finish the submitted request, and runs what follows.
    void finishRequest(OSSystemExtensionRequestResult result = OSSystemExtensionRequestResult::completed) {
        extensions->finish(result);
        mainQueue->runAll();
    }
    const NETunnelProviderProtocol& savedTunnel() const {
        return dynamic_cast<const NETunnelProviderProtocol&>(*store->saved()->protocolConfiguration);
    }

    TestApplicationBundle application;
    std::shared_ptr<ManualMainQueue> mainQueue = std::make_shared<ManualMainQueue>();
    std::shared_ptr<FakeConfigurationStore> store = std::make_shared<FakeConfigurationStore>();
    std::shared_ptr<FakeSystemExtensionManager> extensions = std::make_shared<FakeSystemExtensionManager>();
    std::unique_ptr<RecordingHostProcess> process;
    std::shared_ptr<AppDelegate> delegate;
};

TEST_F(AppDelegateTest, StartActivatesThenSavesAnEnabledConfigurationAndStartsIt) {
    launch({"--start-proxy"}, {{"SENTORIX_EXTENSION_MONITORING_SOCKET_PATH", " \t/run/monitor.sock\n "}});
    const auto request = extensions->last();
    ASSERT_NE(request, nullptr);
    EXPECT_EQ(request->kind, OSSystemExtensionRequest::Kind::activation);
    EXPECT_EQ(request->identifier, "com.sentorix.desktop.extension");
    EXPECT_EQ(request->queue, mainQueue);
    EXPECT_TRUE(process->lines().empty()) << "nothing is printed before the request finishes";

    finishRequest();
    EXPECT_THAT(process->lines(), ElementsAre("Proxy started"));
    EXPECT_THAT(process->exits(), ElementsAre(0));
    EXPECT_THAT(store->calls(), ElementsAre("loadAll", "loadAll", "save", "load"));
    ASSERT_EQ(store->savedCount(), 1u);
    EXPECT_TRUE(store->saved()->isEnabled);
    EXPECT_EQ(store->saved()->localizedDescription, "Sentorix Protect");
    EXPECT_EQ(savedTunnel().providerBundleIdentifier, "com.sentorix.desktop.extension");
    EXPECT_EQ(savedTunnel().serverAddress, "127.0.0.1");
    EXPECT_EQ(savedTunnel().providerConfiguration,
              (ProviderConfiguration{{"monitoringSocketPath", "/run/monitor.sock"}}));
    EXPECT_EQ(store->connection->starts, 1);
}

TEST_F(AppDelegateTest, ExistingConfigurationKeepsItsDescriptionAndBundleIdentifier) {
    NETransparentProxyManager existing;
    auto tunnel = std::make_shared<NETunnelProviderProtocol>();
    tunnel->providerBundleIdentifier = "org.example.other-extension";
    tunnel->serverAddress = "10.0.0.1";
    tunnel->providerConfiguration = ProviderConfiguration{{"monitoringSocketPath", "/old.sock"}, {"x", 1}};
    existing.protocolConfiguration = tunnel;
    existing.localizedDescription = "Configured by hand";
    store->addSaved(existing);

    // Only blanks: the dictionary written is empty.
    launch({"--start-proxy"}, {{"SENTORIX_EXTENSION_MONITORING_SOCKET_PATH", "  \n\t "}});
    finishRequest();
    EXPECT_THAT(process->lines(), ElementsAre("Proxy started"));
    ASSERT_EQ(store->savedCount(), 1u);
    EXPECT_EQ(store->saved()->localizedDescription, "Configured by hand");
    EXPECT_EQ(savedTunnel().providerBundleIdentifier, "org.example.other-extension");
    EXPECT_EQ(savedTunnel().serverAddress, "10.0.0.1");
    EXPECT_EQ(savedTunnel().providerConfiguration, ProviderConfiguration{});
    EXPECT_TRUE(store->saved()->isEnabled);
}

TEST_F(AppDelegateTest, ProtocolOfAnotherKindIsLeftAsItIs) {
    NETransparentProxyManager existing;
    existing.protocolConfiguration = std::make_shared<NEVPNProtocol>();
    existing.protocolConfiguration->serverAddress = "vpn.example";
    store->addSaved(existing);

    launch({"--start-proxy"}, {{"SENTORIX_EXTENSION_MONITORING_SOCKET_PATH", "/run/monitor.sock"}});
    finishRequest();
    EXPECT_THAT(process->lines(), ElementsAre("Proxy started"));
    const auto& saved = *store->saved()->protocolConfiguration;
    EXPECT_EQ(dynamic_cast<const NETunnelProviderProtocol*>(&saved), nullptr);
    EXPECT_EQ(saved.serverAddress, "vpn.example");
}

TEST_F(AppDelegateTest, UnsetVariableWritesAnEmptyDictionary) {
    launch({"--start-proxy"});
    finishRequest();
    EXPECT_EQ(savedTunnel().providerConfiguration, ProviderConfiguration{});
}

TEST_F(AppDelegateTest, SocketPathThatCannotBeStoredIsRefusedBeforeAnythingHappens) {
    for (const std::string path : {"/run/mon\xff.sock", "/run/mon\x01itor.sock", "/run/\xc0\xafmonitor.sock"}) {
        SetUp();
        launch({"--start-proxy"}, {{"SENTORIX_EXTENSION_MONITORING_SOCKET_PATH", path}});
        EXPECT_EQ(extensions->last(), nullptr) << "nothing is activated";
        EXPECT_TRUE(store->calls().empty()) << "nothing is loaded or saved";
        ASSERT_EQ(process->lines().size(), 1u);
        EXPECT_NE(process->lines().front().find("is not valid UTF-8 or holds control characters"), std::string::npos);
        EXPECT_THAT(process->exits(), ElementsAre(1));
        store = std::make_shared<FakeConfigurationStore>();
    }
    // Non-ASCII text that is valid UTF-8 is kept as it is.
    launch({"--start-proxy"}, {{"SENTORIX_EXTENSION_MONITORING_SOCKET_PATH", "/run/m\xc3\xb6nitor.sock"}});
    ASSERT_NE(extensions->last(), nullptr);
}

TEST_F(AppDelegateTest, EveryFailureOfTheStartPrintsItsLineAndExitsWithOne) {
    const NSError error("NEVPNErrorDomain", 5, "The disk is full");

    launch({"--start-proxy"});
    extensions->failWith(NSError(OSSystemExtensionErrorDomain, 4, "No such extension"));
    mainQueue->runAll();
    EXPECT_THAT(process->lines(), ElementsAre("System extension request failed: No such extension"));
    EXPECT_THAT(process->exits(), ElementsAre(1));

    launch({"--start-proxy"});
    finishRequest(OSSystemExtensionRequestResult::willCompleteAfterReboot);
    EXPECT_THAT(process->lines(), ElementsAre("Unexpected result 1 for system extension request"));
    EXPECT_THAT(process->exits(), ElementsAre(1));

    store->saveError = error;
    launch({"--start-proxy"});
    finishRequest();
    EXPECT_THAT(process->lines(),
                ElementsAre("Error saving preferences: Error Domain=NEVPNErrorDomain Code=5 \"The disk is full\""));
    EXPECT_THAT(process->exits(), ElementsAre(1));
    EXPECT_EQ(store->connection->starts, 0);

    store->saveError.reset();
    store->connection->startError = NSError("NEVPNErrorDomain", 3, "CAP_NET_ADMIN is needed (run as root)");
    launch({"--start-proxy"});
    finishRequest();
    EXPECT_THAT(process->lines(), ElementsAre("Error starting tunnel: CAP_NET_ADMIN is needed (run as root)"));
    EXPECT_THAT(process->exits(), ElementsAre(1));
}

TEST_F(AppDelegateTest, ReloadAndLoadErrorsAreNotExamined) {
    store->loadAllError = NSError("NEVPNErrorDomain", 5, "unreadable");
    store->loadError = NSError("NEVPNErrorDomain", 4, "stale");
    launch({"--start-proxy"});
    finishRequest();
    EXPECT_THAT(process->lines(), ElementsAre("Proxy started"));
    EXPECT_THAT(process->exits(), ElementsAre(0));
}

TEST_F(AppDelegateTest, ApprovalNoticeKeepsWaitingForTheOutcome) {
    launch({"--start-proxy"});
    extensions->answer([](auto& delegate, auto& request) { delegate.requestNeedsUserApproval(request); });
    mainQueue->runAll();
    EXPECT_THAT(process->lines(), ElementsAre("Extension com.sentorix.desktop.extension requires user approval"));
    EXPECT_TRUE(process->exits().empty());

    finishRequest();
    EXPECT_THAT(process->lines(), ElementsAre("Extension com.sentorix.desktop.extension requires user approval",
                                              "Proxy started"));
    EXPECT_THAT(process->exits(), ElementsAre(0));
}

TEST_F(AppDelegateTest, ReplacementIsAlwaysAcceptedSilently) {
    auto delegate = launch({"--start-proxy"});
    const auto action = delegate->actionForReplacingExtension(*extensions->last(), {"id", "1", "1.0"}, {"id", "2", "2.0"});
    EXPECT_EQ(action, OSSystemExtensionReplacementAction::replace);
    EXPECT_TRUE(process->lines().empty());
}

TEST_F(AppDelegateTest, StopDisablesTheSavedConfiguration) {
    NETransparentProxyManager existing;
    existing.isEnabled = true;
    existing.localizedDescription = "Sentorix Protect";
    store->addSaved(existing);
    store->connection->setStatus(NEVPNStatus::connected);

    launch({"--stop-proxy"});
    EXPECT_THAT(process->lines(), ElementsAre("Proxy stopped"));
    EXPECT_THAT(process->exits(), ElementsAre(0));
    EXPECT_EQ(store->connection->stops, 1);
    ASSERT_EQ(store->savedCount(), 1u);
    EXPECT_FALSE(store->saved()->isEnabled);
    EXPECT_TRUE(extensions->requests().empty()) << "stopping submits no request";
}

TEST_F(AppDelegateTest, StopWithNoConfigurationSavesANewDisabledOne) {
    launch({"--stop-proxy"});
    EXPECT_THAT(process->lines(), ElementsAre("Proxy stopped"));
    ASSERT_EQ(store->savedCount(), 1u);
    EXPECT_FALSE(store->saved()->isEnabled);
    EXPECT_EQ(store->saved()->protocolConfiguration, nullptr);

    store->saveError = NSError("NEVPNErrorDomain", 5, "read-only");
    launch({"--stop-proxy"});
    EXPECT_THAT(process->lines(),
                ElementsAre("Error saving preferences (disable): Error Domain=NEVPNErrorDomain Code=5 \"read-only\""));
    EXPECT_THAT(process->exits(), ElementsAre(1));
}

TEST_F(AppDelegateTest, TheFirstSwitchOfTheTableWins) {
    launch({"--stop-proxy", "--start-proxy"});
    ASSERT_EQ(extensions->requests().size(), 1u);
    EXPECT_EQ(extensions->last()->kind, OSSystemExtensionRequest::Kind::activation);
    EXPECT_EQ(store->connection->stops, 0);

    launch({"--stop-proxy", "--deactivate-extension"});
    EXPECT_EQ(extensions->requests().size(), 1u);
    EXPECT_THAT(process->lines(), ElementsAre("Proxy stopped"));

    launch({"sentorix-extra-argument"});
    EXPECT_EQ(extensions->requests().size(), 1u);
    EXPECT_TRUE(process->lines().empty());
    EXPECT_TRUE(process->exits().empty());
}

TEST_F(AppDelegateTest, DeactivationPrintsAndExitsOnItsOwnOrWithStart) {
    launch({"--deactivate-extension"});
    ASSERT_EQ(extensions->last()->kind, OSSystemExtensionRequest::Kind::deactivation);
    finishRequest();
    EXPECT_THAT(process->lines(), ElementsAre("Extension deactivated"));
    EXPECT_THAT(process->exits(), ElementsAre(0));

    // The argument list decides: the activation of a start ends as a deactivation, unconfigured.
    launch({"--start-proxy", "--deactivate-extension"});
    EXPECT_EQ(extensions->last()->kind, OSSystemExtensionRequest::Kind::activation);
    finishRequest();
    EXPECT_THAT(process->lines(), ElementsAre("Extension deactivated"));
    EXPECT_THAT(process->exits(), ElementsAre(0));
    EXPECT_EQ(store->savedCount(), 0u);
    EXPECT_EQ(store->connection->starts, 0);
}

TEST(AppDelegateBundle, ExtensionWithoutIdentifierFailsStartAndDeactivation) {
    TestApplicationBundle application({.extensionIdentifier = std::nullopt});
    auto store = std::make_shared<FakeConfigurationStore>();
    auto extensions = std::make_shared<FakeSystemExtensionManager>();
    NEConfigurationStore::setShared(store);
    OSSystemExtensionManager::setShared(extensions);
    for (const char* flag : {"--start-proxy", "--deactivate-extension"}) {
        RecordingHostProcess process({"sentorix", flag});
        auto delegate = std::make_shared<AppDelegate>(process.process(), application.bundle());
        delegate->applicationDidFinishLaunching();
        EXPECT_THAT(process.lines(), ElementsAre("Error: Could not find extension bundle identifier")) << flag;
        EXPECT_THAT(process.exits(), ElementsAre(1)) << flag;
    }
    EXPECT_TRUE(extensions->requests().empty());
    NEConfigurationStore::setShared(nullptr);
    OSSystemExtensionManager::setShared(nullptr);
}

TEST(AppDelegateBundle, MissingOrUnusableExtensionDirectoryIsFatal) {
    TestApplicationBundle empty({.withExtension = false});
    RecordingHostProcess process({"sentorix"});
    AppDelegate delegate(process.process(), empty.bundle());
    EXPECT_THROW(
        {
            try {
                delegate.extensionBundle();
            } catch (const FatalError& error) {
                EXPECT_STREQ(error.what(), "Failed to find any system extensions");
                throw;
            }
        },
        FatalError);

    std::filesystem::remove_all(empty.extensionsDirectory());
    AppDelegate missing(process.process(), empty.bundle());
    EXPECT_THROW(missing.extensionBundle(), FatalError);

    TestApplicationBundle withFile({.withExtension = false});
    std::ofstream(withFile.extensionsDirectory() + "/not-a-bundle") << "x";
    AppDelegate notBundle(process.process(), withFile.bundle());
    try {
        notBundle.extensionBundle();
        ADD_FAILURE() << "a plain file is not a bundle";
    } catch (const FatalError& error) {
        EXPECT_EQ(std::string(error.what()),
                  "Failed to create a bundle with URL " + withFile.extensionsDirectory() + "/not-a-bundle");
    }
}

TEST(AppDelegateBundle, HiddenEntriesAreSkippedAndTheBundleIsKept) {
    TestApplicationBundle application;
    std::filesystem::create_directories(application.extensionsDirectory() + "/.hidden.systemextension");
    RecordingHostProcess process({"sentorix"});
    AppDelegate delegate(process.process(), application.bundle());
    const auto first = delegate.extensionBundle();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->bundleIdentifier(), "com.sentorix.desktop.extension");
    std::filesystem::remove_all(application.extensionsDirectory());
    EXPECT_EQ(delegate.extensionBundle(), first) << "looked up once";
}

}  // namespace
}  // namespace sentorix
