#include "FakeConfigurationStore.h"
#include "FakeSystemExtensionManager.h"
#include "LogCapture.h"
#include "ManualMainQueue.h"
#include "QtMainQueue.h"
#include "RecordingHostProcess.h"
#include "TestApplicationBundle.h"
#include "ViewController.h"
#include "NSNotificationCenter.h"

#include <QLabel>
#include <QPushButton>
#include <QProgressBar>
#include <QtTest>

#include <thread>

using namespace sentorix;
using namespace sentorix::testing;
using Status = ViewController::Status;

Q_DECLARE_METATYPE(ViewController::Status)

class ViewControllerTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<TestApplicationBundle> application;
    std::shared_ptr<ManualMainQueue> mainQueue;
    std::shared_ptr<FakeConfigurationStore> store;
    std::shared_ptr<FakeSystemExtensionManager> extensions;
    std::unique_ptr<LogCapture> log;

    std::unique_ptr<ViewController> makeController(std::map<std::string, std::string> environment = {}) {
        RecordingHostProcess process({"sentorix"}, std::move(environment));
        return std::make_unique<ViewController>(process.process(), application->bundle());
    }
    void saveEnabled(NEVPNStatus status, bool enabled = true) {
        NETransparentProxyManager existing;
        existing.isEnabled = enabled;
        existing.localizedDescription = "Another description";
        store->addSaved(existing);
        store->connection->setStatus(status);
    }
    const NETunnelProviderProtocol& savedTunnel() const {
        return dynamic_cast<const NETunnelProviderProtocol&>(*store->saved()->protocolConfiguration);
    }
    bool logged(const std::string& line) const { return (*log)->countStartingWith(line) == 1; }

private slots:
    void init() {
        application = std::make_unique<TestApplicationBundle>();
        mainQueue = std::make_shared<ManualMainQueue>();
        store = std::make_shared<FakeConfigurationStore>();
        extensions = std::make_shared<FakeSystemExtensionManager>();
        log = std::make_unique<LogCapture>();
        MainQueue::setMain(mainQueue);
        NEConfigurationStore::setShared(store);
        OSSystemExtensionManager::setShared(extensions);
    }
    void cleanup() {
        log.reset();
        MainQueue::setMain(nullptr);
        NEConfigurationStore::setShared(nullptr);
        OSSystemExtensionManager::setShared(nullptr);
    }

    void appearanceFollowsTheStatus_data() {
        QTest::addColumn<Status>("status");
        QTest::addColumn<QString>("image");
        QTest::addColumn<bool>("spinning");
        QTest::addColumn<bool>("stopHidden");
        QTest::addColumn<bool>("startHidden");
        QTest::newRow("stopped") << Status::stopped << "dot_red" << false << true << false;
        QTest::newRow("indeterminate") << Status::indeterminate << "dot_yellow" << true << true << true;
        QTest::newRow("running") << Status::running << "dot_green" << false << false << true;
    }
    void appearanceFollowsTheStatus() {
        QFETCH(Status, status);
        QFETCH(QString, image);
        QFETCH(bool, spinning);
        QFETCH(bool, stopHidden);
        QFETCH(bool, startHidden);
        auto controller = makeController();
        // From each other status, so that every field really changes.
        for (Status from : {Status::stopped, Status::indeterminate, Status::running}) {
            controller->setStatus(from);
            controller->setStatus(status);
            QCOMPARE(controller->indicatorImageName(), image);
            QVERIFY(!controller->statusIndicator->pixmap().isNull());
            QCOMPARE(controller->statusIndicator->pixmap().toImage(), QPixmap(":/" + image + ".png").toImage());
            QCOMPARE(controller->isSpinnerAnimating(), spinning);
            QCOMPARE(controller->statusSpinner->isHidden(), !spinning);
            QCOMPARE(controller->stopButton->isHidden(), stopHidden);
            QCOMPARE(controller->startButton->isHidden(), startHidden);
        }
    }

    void connectionStatusMapsToTheWindowStatus_data() {
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<int>("connection");
        QTest::addColumn<Status>("expected");
        QTest::newRow("not enabled, connected") << false << 3 << Status::stopped;
        QTest::newRow("not enabled, connecting") << false << 2 << Status::stopped;
        QTest::newRow("invalid") << true << 0 << Status::stopped;
        QTest::newRow("disconnected") << true << 1 << Status::stopped;
        QTest::newRow("connecting") << true << 2 << Status::indeterminate;
        QTest::newRow("connected") << true << 3 << Status::running;
        QTest::newRow("reasserting") << true << 4 << Status::indeterminate;
        QTest::newRow("disconnecting") << true << 5 << Status::indeterminate;
        QTest::newRow("unlisted value") << true << 42 << Status::stopped;
    }
    void connectionStatusMapsToTheWindowStatus() {
        QFETCH(bool, enabled);
        QFETCH(int, connection);
        QFETCH(Status, expected);
        auto controller = makeController();
        auto manager = std::make_shared<NETransparentProxyManager>();
        manager->isEnabled = enabled;
        store->connection->setStatus(static_cast<NEVPNStatus>(connection));
        controller->setStatus(Status::indeterminate);
        controller->updateStatus(manager);
        QCOMPARE(controller->status(), expected);
    }

    void appearingFollowsTheConfigurationAndItsNotifications() {
        auto controller = makeController();
        controller->viewWillAppear();
        QCOMPARE(controller->status(), Status::indeterminate);
        mainQueue->runAll();
        QCOMPARE(controller->status(), Status::stopped);  // a new configuration is not enabled

        saveEnabled(NEVPNStatus::connecting);
        controller->viewWillAppear();
        mainQueue->runAll();
        QCOMPARE(controller->status(), Status::indeterminate);
        store->connection->setStatus(NEVPNStatus::connected);
        NSNotificationCenter::defaultCenter().post(NEVPNStatusDidChangeNotification, store->connection.get());
        mainQueue->runAll();
        QCOMPARE(controller->status(), Status::running);

        // Another object's notification is not followed; after disappearing nothing is.
        store->connection->setStatus(NEVPNStatus::disconnected);
        NSNotificationCenter::defaultCenter().post(NEVPNStatusDidChangeNotification, this);
        mainQueue->runAll();
        QCOMPARE(controller->status(), Status::running);
        controller->viewWillDisappear();
        NSNotificationCenter::defaultCenter().post(NEVPNStatusDidChangeNotification, store->connection.get());
        mainQueue->runAll();
        QCOMPARE(controller->status(), Status::running);
    }

    void loadErrorAtAppearanceShowsStopped() {
        store->loadAllError = NSError("NEVPNErrorDomain", 5, "unreadable file");
        auto controller = makeController();
        controller->viewWillAppear();
        mainQueue->runAll();
        QCOMPARE(controller->status(), Status::stopped);
        QVERIFY(logged("Failed to load the proxy configuration: unreadable file"));
    }

    void startGoesThroughActivationToRunning() {
        saveEnabled(NEVPNStatus::disconnected, false);
        auto controller = makeController({{"SENTORIX_EXTENSION_MONITORING_SOCKET_PATH", " /run/monitor.sock "}});
        controller->setStatus(Status::stopped);
        QTest::mouseClick(controller->startButton, Qt::LeftButton);
        QCOMPARE(controller->status(), Status::indeterminate);
        QCOMPARE(extensions->requests().size(), std::size_t{1});
        QCOMPARE(extensions->last()->identifier, std::string("com.sentorix.desktop.extension"));
        QVERIFY(store->calls().empty());

        extensions->answer([](auto& delegate, auto& request) {
            delegate.actionForReplacingExtension(request, {"com.sentorix.desktop.extension", "1", "1.0"},
                                                 {"com.sentorix.desktop.extension", "2", "2.0"});
        });
        extensions->finish();
        mainQueue->runAll();
        QVERIFY(logged("Replacing extension com.sentorix.desktop.extension version 1.0 with version 2.0"));
        QCOMPARE(controller->status(), Status::running);
        QCOMPARE(store->connection->starts, 1);
        QVERIFY(store->saved()->isEnabled);
        QCOMPARE(store->saved()->localizedDescription, std::optional<std::string>("Sentorix"));
        QCOMPARE(savedTunnel().providerBundleIdentifier, std::string("com.sentorix.desktop.extension"));
        QCOMPARE(savedTunnel().serverAddress, std::string("127.0.0.1"));
        QVERIFY(savedTunnel().providerConfiguration ==
                (ProviderConfiguration{{"monitoringSocketPath", "/run/monitor.sock"}}));
    }

    void afterStartAndStopNotificationsFollowTheConfigurationNowSaved() {
        saveEnabled(NEVPNStatus::disconnected, false);
        auto controller = makeController();
        controller->viewWillAppear();  // follows the configuration as loaded: disabled
        mainQueue->runAll();
        QTest::mouseClick(controller->startButton, Qt::LeftButton);
        extensions->finish();
        mainQueue->runAll();
        QCOMPARE(controller->status(), Status::running);
        NSNotificationCenter::defaultCenter().post(NEVPNStatusDidChangeNotification, store->connection.get());
        mainQueue->runAll();
        QCOMPARE(controller->status(), Status::running);  // not the stale, disabled one

        QTest::mouseClick(controller->stopButton, Qt::LeftButton);
        mainQueue->runAll();
        QCOMPARE(controller->status(), Status::stopped);
        store->connection->setStatus(NEVPNStatus::connected);  // a late push from before the stop
        NSNotificationCenter::defaultCenter().post(NEVPNStatusDidChangeNotification, store->connection.get());
        mainQueue->runAll();
        QCOMPARE(controller->status(), Status::stopped);
    }

    void withoutABundleNameTheDescriptionStays() {
        application = std::make_unique<TestApplicationBundle>(TestApplicationBundle::Options{.bundleName = std::nullopt});
        saveEnabled(NEVPNStatus::disconnected, false);
        auto controller = makeController();
        controller->startFilter();
        extensions->finish();
        mainQueue->runAll();
        QCOMPARE(store->saved()->localizedDescription, std::optional<std::string>("Another description"));
    }

    void approvalKeepsTheWindowChangingUntilTheOutcome() {
        auto controller = makeController();
        controller->startFilter();
        extensions->answer([](auto& delegate, auto& request) { delegate.requestNeedsUserApproval(request); });
        mainQueue->runAll();
        QCOMPARE(controller->status(), Status::indeterminate);
        QVERIFY(controller->isSpinnerAnimating());
        QVERIFY(logged("Extension com.sentorix.desktop.extension requires user approval"));

        extensions->failWith(NSError(OSSystemExtensionErrorDomain, 1, "denied"));
        mainQueue->runAll();
        QCOMPARE(controller->status(), Status::stopped);
        QVERIFY(logged("System extension request failed: denied"));
    }

    void rebootResultShowsStopped() {
        auto controller = makeController();
        controller->startFilter();
        extensions->finish(OSSystemExtensionRequestResult::willCompleteAfterReboot);
        mainQueue->runAll();
        QCOMPARE(controller->status(), Status::stopped);
        QVERIFY(logged("Unexpected result 1 for system extension request"));
        QVERIFY(store->calls().empty());
    }

    void eachStartStepFailureShowsStoppedWithOneLine_data() {
        QTest::addColumn<QString>("step");
        QTest::addColumn<QString>("line");
        QTest::newRow("save") << "save" << "Failed to save the proxy configuration: no space";
        QTest::newRow("reload") << "reload" << "Failed to reload the proxy configuration: no space";
        QTest::newRow("start") << "start" << "Failed to start proxy: no space";
    }
    void eachStartStepFailureShowsStoppedWithOneLine() {
        QFETCH(QString, step);
        QFETCH(QString, line);
        const NSError error("NEVPNErrorDomain", 5, "no space");
        (step == "save" ? store->saveError : step == "reload" ? store->loadError : store->connection->startError) = error;
        auto controller = makeController();
        controller->startFilter();
        extensions->finish();
        mainQueue->runAll();
        QCOMPARE(controller->status(), Status::stopped);
        QVERIFY(logged(line.toStdString()));
        QCOMPARE((*log)->messages().size(), std::size_t{1});
    }

    void extensionWithoutIdentifierReturnsToStoppedSilently() {
        application = std::make_unique<TestApplicationBundle>(
            TestApplicationBundle::Options{.extensionIdentifier = std::nullopt});
        auto controller = makeController();
        controller->startFilter();
        QCOMPARE(controller->status(), Status::stopped);
        QVERIFY(extensions->requests().empty());
        QVERIFY((*log)->messages().empty());
    }

    void stopDisablesOrShowsRunningWhenTheSaveFails() {
        saveEnabled(NEVPNStatus::connected);
        store->saveError = NSError("NEVPNErrorDomain", 5, "read-only");
        auto controller = makeController();
        controller->setStatus(Status::running);
        QTest::mouseClick(controller->stopButton, Qt::LeftButton);
        QCOMPARE(controller->status(), Status::indeterminate);
        mainQueue->runAll();
        QCOMPARE(controller->status(), Status::running);
        QVERIFY(logged("Failed to disable the proxy configuration: read-only"));
        QCOMPARE(store->connection->stops, 1);

        store->saveError.reset();
        controller->stopFilter();
        mainQueue->runAll();
        QCOMPARE(controller->status(), Status::stopped);
        QVERIFY(!store->saved()->isEnabled);
    }

    void stopWhenDisabledSavesNothing() {
        saveEnabled(NEVPNStatus::disconnected, false);
        auto controller = makeController();
        controller->stopFilter();
        mainQueue->runAll();
        QCOMPARE(controller->status(), Status::stopped);
        QCOMPARE(store->calls(), std::vector<std::string>{"loadAll"});
        QCOMPARE(store->connection->stops, 0);
    }

    void completionsAfterTheWindowIsGoneAreDropped() {
        auto controller = makeController();
        controller->stopFilter();
        controller.reset();
        mainQueue->runAll();  // must not touch the destroyed window
        QVERIFY(true);
    }

    void qtMainQueueRunsBlocksOnTheMainThreadInOrder() {
        QtMainQueue queue;
        constexpr int Threads = 4, Blocks = 500;
        std::vector<std::vector<int>> seen(Threads);  // touched on the main thread only
        bool offMain = false;
        const auto mainThread = std::this_thread::get_id();
        std::vector<std::thread> posters;
        for (int t = 0; t < Threads; ++t) {
            posters.emplace_back([&, t] {
                for (int i = 0; i < Blocks; ++i) {
                    queue.async([&, t, i] {
                        offMain |= std::this_thread::get_id() != mainThread;
                        seen[t].push_back(i);
                    });
                }
            });
        }
        for (auto& poster : posters) {
            poster.join();
        }
        QTRY_VERIFY(std::all_of(seen.begin(), seen.end(), [](const auto& s) { return s.size() == Blocks; }));
        QVERIFY(!offMain);
        for (const auto& fromOneThread : seen) {
            QVERIFY(std::is_sorted(fromOneThread.begin(), fromOneThread.end()));
        }
    }

    void emptyExtensionDirectoryIsFatal() {
        application = std::make_unique<TestApplicationBundle>(TestApplicationBundle::Options{.withExtension = false});
        auto controller = makeController();
        QVERIFY_THROWS_EXCEPTION(FatalError, controller->extensionBundle());
        std::filesystem::remove_all(application->extensionsDirectory());
        auto another = makeController();
        try {
            another->extensionBundle();
            QFAIL("a missing directory is fatal");
        } catch (const FatalError& error) {
            QVERIFY(std::string(error.what()).rfind("Failed to get the contents of " + application->extensionsDirectory() + ": ", 0) == 0);
        }
    }
};

QTEST_MAIN(ViewControllerTest)
#include "ViewControllerTest.moc"
