#include "LinuxSystemExtensionManager.h"
#include "ManualMainQueue.h"
#include "StateDirectory.h"
#include "TestApplicationBundle.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

namespace sentorix::linux_system {
namespace {

using namespace std::chrono_literals;
using namespace sentorix::testing;

// Records each callback; answers replacements as told.
class RecordingDelegate : public OSSystemExtensionRequestDelegate {
public:
    OSSystemExtensionReplacementAction actionForReplacingExtension(const OSSystemExtensionRequest&,
                                                                   const OSSystemExtensionProperties& existing,
                                                                   const OSSystemExtensionProperties& replacement) override {
        events.push_back("replace " + existing.bundleShortVersion + " with " + replacement.bundleShortVersion);
        return answer;
    }
    void requestNeedsUserApproval(const OSSystemExtensionRequest&) override { events.push_back("approval"); }
    void didFailWithError(const OSSystemExtensionRequest&, const NSError& error) override {
        events.push_back("failed " + std::to_string(error.code()) + ": " + error.localizedDescription());
    }
    void didFinishWithResult(const OSSystemExtensionRequest&, OSSystemExtensionRequestResult result) override {
        events.push_back("finished " + std::to_string(static_cast<long>(result)));
    }

    OSSystemExtensionReplacementAction answer = OSSystemExtensionReplacementAction::replace;
    std::vector<std::string> events;  // touched on the main queue only
};

class LinuxSystemExtensionManagerTest : public ::testing::Test {
protected:
    // Submits and drains the main queue until the request has its outcome.
    std::vector<std::string> run(const TestApplicationBundle& application, OSSystemExtensionRequest::Kind kind,
                                 const std::string& identifier = "com.sentorix.desktop.extension") {
        auto manager = std::make_shared<LinuxSystemExtensionManager>(state.path(), application.bundle());
        auto request = std::make_shared<OSSystemExtensionRequest>(kind, identifier, mainQueue);
        delegate = std::make_shared<RecordingDelegate>();
        delegate->answer = answer;
        request->delegate = delegate;
        manager->submitRequest(request);
        mainQueue->runUntil(
            [&] { return !delegate->events.empty() && delegate->events.back().rfind("replace", 0) != 0; }, 10s);
        return delegate->events;
    }
    std::string installed() const {
        return StateDirectory::activatedExtensionPath(state.path(), "com.sentorix.desktop.extension");
    }

    TempDir state;
    std::shared_ptr<ManualMainQueue> mainQueue = std::make_shared<ManualMainQueue>();
    std::shared_ptr<RecordingDelegate> delegate;
    OSSystemExtensionReplacementAction answer = OSSystemExtensionReplacementAction::replace;
};

TEST_F(LinuxSystemExtensionManagerTest, ActivationCopiesTheBundleAndReplacesOnlyWhenTold) {
    TestApplicationBundle first({.extensionVersion = "1.0"});
    EXPECT_THAT(run(first, OSSystemExtensionRequest::Kind::activation), ::testing::ElementsAre("finished 0"));
    EXPECT_TRUE(std::filesystem::exists(installed() + "/Contents/MacOS/com.sentorix.desktop.extension"));
    EXPECT_EQ(NSBundle::bundleWithPath(installed())->infoString("CFBundleShortVersionString"), "1.0");

    TestApplicationBundle second({.extensionVersion = "2.0"});
    answer = OSSystemExtensionReplacementAction::cancel;
    const auto canceled = run(second, OSSystemExtensionRequest::Kind::activation);
    ASSERT_EQ(canceled.size(), 2u);
    EXPECT_EQ(canceled[0], "replace 1.0 with 2.0");
    EXPECT_THAT(canceled[1], ::testing::StartsWith("failed 11: "));
    EXPECT_EQ(NSBundle::bundleWithPath(installed())->infoString("CFBundleShortVersionString"), "1.0");

    answer = OSSystemExtensionReplacementAction::replace;
    EXPECT_THAT(run(second, OSSystemExtensionRequest::Kind::activation),
                ::testing::ElementsAre("replace 1.0 with 2.0", "finished 0"));
    EXPECT_EQ(NSBundle::bundleWithPath(installed())->infoString("CFBundleShortVersionString"), "2.0");
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(StateDirectory::extensionsPath(state.path()))) {
        ++entries;
    }
    EXPECT_EQ(entries, 1u) << "the replaced copy and the staging copy are gone";
}

TEST_F(LinuxSystemExtensionManagerTest, UnknownExtensionFailsTheRequest) {
    TestApplicationBundle application;
    const auto events = run(application, OSSystemExtensionRequest::Kind::activation, "org.example.missing");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_THAT(events[0], ::testing::StartsWith("failed 4: No system extension org.example.missing in "));
    EXPECT_FALSE(std::filesystem::exists(StateDirectory::extensionsPath(state.path()) + "/org.example.missing.systemextension"));
}

TEST_F(LinuxSystemExtensionManagerTest, DeactivationRemovesTheCopyEvenWhenNothingIsActive) {
    TestApplicationBundle application;
    run(application, OSSystemExtensionRequest::Kind::activation);
    ASSERT_TRUE(std::filesystem::exists(installed()));
    EXPECT_THAT(run(application, OSSystemExtensionRequest::Kind::deactivation), ::testing::ElementsAre("finished 0"));
    EXPECT_FALSE(std::filesystem::exists(installed()));
    EXPECT_THAT(run(application, OSSystemExtensionRequest::Kind::deactivation), ::testing::ElementsAre("finished 0"));
}

TEST_F(LinuxSystemExtensionManagerTest, GoneDelegateHearsNothing) {
    TestApplicationBundle application;
    auto manager = std::make_shared<LinuxSystemExtensionManager>(state.path(), application.bundle());
    auto request = OSSystemExtensionRequest::activationRequest("com.sentorix.desktop.extension", mainQueue);
    {
        auto shortLived = std::make_shared<RecordingDelegate>();
        request->delegate = shortLived;
    }
    manager->submitRequest(request);
    ASSERT_TRUE(mainQueue->waitForBlocks(10s));
    EXPECT_EQ(mainQueue->runAll(), 1) << "the callback is queued, and does nothing";
}

}  // namespace
}  // namespace sentorix::linux_system
