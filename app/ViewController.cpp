#include "ViewController.h"

#include "ProviderConfigurationBuilder.h"
#include "NETunnelProviderProtocol.h"
#include "OSLog.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

// The images live in a static library, whose resource registration the linker would drop.
static void registerImages() { Q_INIT_RESOURCE(resources); }

namespace sentorix {

namespace {

void logLine(const std::string& message) { OSLog::defaultLog().notice(message); }

}  // namespace

// Requests hold their delegate weakly; this one goes away with the controller.
class ViewController::RequestDelegate : public OSSystemExtensionRequestDelegate {
public:
    explicit RequestDelegate(ViewController& controller) : controller_(controller) {}

    OSSystemExtensionReplacementAction actionForReplacingExtension(const OSSystemExtensionRequest& request,
                                                                   const OSSystemExtensionProperties& existing,
                                                                   const OSSystemExtensionProperties& replacement) override {
        logLine("Replacing extension " + request.identifier + " version " + existing.bundleShortVersion +
                " with version " + replacement.bundleShortVersion);
        return OSSystemExtensionReplacementAction::replace;
    }
    void requestNeedsUserApproval(const OSSystemExtensionRequest& request) override {
        logLine("Extension " + request.identifier + " requires user approval");
    }
    void didFailWithError(const OSSystemExtensionRequest&, const NSError& error) override {
        controller_.requestFailed(error);
    }
    void didFinishWithResult(const OSSystemExtensionRequest&, OSSystemExtensionRequestResult result) override {
        controller_.requestFinished(result);
    }

private:
    ViewController& controller_;
};

ViewController::ViewController(HostProcess process, std::shared_ptr<NSBundle> applicationBundle, QWidget* parent)
    : QWidget(parent),
      statusIndicator(new QLabel(this)),
      statusSpinner(new QProgressBar(this)),
      startButton(new QPushButton(tr("Start"), this)),
      stopButton(new QPushButton(tr("Stop"), this)),
      logTextView(new QPlainTextEdit(this)),
      process_(std::move(process)),
      applicationBundle_(std::move(applicationBundle)),
      extensionBundle_(applicationBundle_, process_.fatal, ExtensionBundleLookup::Messages::window),
      requestDelegate_(std::make_shared<RequestDelegate>(*this)) {
    registerImages();
    setWindowTitle(QString::fromStdString(applicationBundle_->infoString("CFBundleName").value_or("Sentorix")));
    statusIndicator->setFixedSize(20, 20);
    statusIndicator->setScaledContents(true);
    statusSpinner->setFixedWidth(120);
    statusSpinner->setTextVisible(false);
    statusSpinner->setRange(0, 1);
    logTextView->setReadOnly(true);
    logTextView->setPlaceholderText(tr("Transparent proxy to 127.0.0.1:8080"));

    auto* title = new QLabel(tr("Sentorix Protect"), this);
    auto* row = new QHBoxLayout;
    row->addWidget(statusIndicator);
    row->addWidget(title);
    row->addWidget(statusSpinner);
    row->addStretch();
    row->addWidget(startButton);
    row->addWidget(stopButton);
    auto* column = new QVBoxLayout(this);
    column->addLayout(row);
    column->addWidget(logTextView);
    resize(480, 240);

    connect(startButton, &QPushButton::clicked, this, [this] { startFilter(); });
    connect(stopButton, &QPushButton::clicked, this, [this] { stopFilter(); });
}

ViewController::~ViewController() {
    if (observer_) {
        NSNotificationCenter::defaultCenter().removeObserver(*observer_);
    }
}

bool ViewController::isSpinnerAnimating() const { return statusSpinner->maximum() == 0; }

namespace {

struct Appearance {
    const char* image;
    bool spinnerAnimating;
    bool spinnerHidden;
    bool stopHidden;
    bool startHidden;
};

// Indexed by Status.
constexpr Appearance Appearances[] = {
    {"dot_red", false, true, true, false},
    {"dot_yellow", true, false, true, true},
    {"dot_green", false, true, false, true},
};

}  // namespace

void ViewController::setStatus(Status status) {
    status_ = status;
    const Appearance& appearance = Appearances[static_cast<int>(status)];
    const auto animate = [this](bool on) { statusSpinner->setRange(0, on ? 0 : 1); };
    indicatorImageName_ = appearance.image;
    statusIndicator->setPixmap(QPixmap(":/" + indicatorImageName_ + ".png"));
    animate(appearance.spinnerAnimating);
    statusSpinner->setHidden(appearance.spinnerHidden);
    stopButton->setHidden(appearance.stopHidden);
    startButton->setHidden(appearance.startHidden);
    animate(!statusSpinner->isHidden());
}

ViewController::MainHop ViewController::hopToMain() {
    QPointer<ViewController> guard(this);
    return [guard](std::function<void(ViewController&)> block) {
        MainQueue::main()->async([guard, block = std::move(block)] {
            if (guard) {
                block(*guard);
            }
        });
    };
}

void ViewController::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    viewWillAppear();
}

void ViewController::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    viewWillDisappear();
}

void ViewController::viewWillAppear() {
    setStatus(Status::indeterminate);
    loadProxyConfiguration([this](std::shared_ptr<NETransparentProxyManager> manager) {
        if (!manager) {
            setStatus(Status::stopped);
            return;
        }
        updateStatus(manager);
        observe(manager);
    });
}

void ViewController::observe(const std::shared_ptr<NETransparentProxyManager>& manager) {
    if (observer_) {
        NSNotificationCenter::defaultCenter().removeObserver(*observer_);
    }
    QPointer<ViewController> guard(this);
    observer_ = NSNotificationCenter::defaultCenter().addObserver(
        NEVPNStatusDidChangeNotification, manager->connection().get(), MainQueue::main(), [guard, manager] {
            if (guard) {
                guard->updateStatus(manager);
            }
        });
}

void ViewController::viewWillDisappear() {
    if (observer_) {
        NSNotificationCenter::defaultCenter().removeObserver(*observer_);
        observer_.reset();
    }
}

void ViewController::updateStatus(const std::shared_ptr<NETransparentProxyManager>& manager) {
    if (!manager->isEnabled) {
        setStatus(Status::stopped);
        return;
    }
    switch (manager->connection()->status()) {
    case NEVPNStatus::connecting:
    case NEVPNStatus::reasserting:
    case NEVPNStatus::disconnecting:
        setStatus(Status::indeterminate);
        break;
    case NEVPNStatus::connected:
        setStatus(Status::running);
        break;
    default:
        setStatus(Status::stopped);
        break;
    }
}

void ViewController::loadProxyConfiguration(
    std::function<void(std::shared_ptr<NETransparentProxyManager>)> completionHandler) {
    NETransparentProxyManager::loadAllFromPreferences(
        [hop = hopToMain(), completionHandler = std::move(completionHandler)](
            NETransparentProxyManager::Managers managers, OptionalError error) {
            hop([completionHandler, managers = std::move(managers), error](ViewController&) {
                if (error) {
                    logLine("Failed to load the proxy configuration: " + error->localizedDescription());
                    completionHandler(nullptr);
                    return;
                }
                completionHandler(managers.empty() ? std::make_shared<NETransparentProxyManager>() : managers.front());
            });
        });
}

std::shared_ptr<NSBundle> ViewController::extensionBundle() { return extensionBundle_.bundle(); }

void ViewController::startFilter() {
    if (const auto problem = ProviderConfigurationBuilder::problem(process_)) {
        logLine("Failed to start proxy: " + *problem);
        setStatus(Status::stopped);
        return;
    }
    setStatus(Status::indeterminate);
    const auto bundle = extensionBundle();
    const auto identifier = bundle ? bundle->bundleIdentifier() : std::nullopt;
    if (!identifier) {
        setStatus(Status::stopped);
        return;
    }
    submitActivation(*identifier);
}

void ViewController::submitActivation(const std::string& identifier) {
    auto request = OSSystemExtensionRequest::activationRequest(identifier, MainQueue::main());
    request->delegate = requestDelegate_;
    OSSystemExtensionManager::sharedManager()->submitRequest(std::move(request));
}

void ViewController::requestFailed(const NSError& error) {
    logLine("System extension request failed: " + error.localizedDescription());
    setStatus(Status::stopped);
}

void ViewController::requestFinished(OSSystemExtensionRequestResult result) {
    if (result != OSSystemExtensionRequestResult::completed) {
        logLine("Unexpected result " + std::to_string(static_cast<long>(result)) + " for system extension request");
        setStatus(Status::stopped);
        return;
    }
    enableProxyConfiguration();
}

void ViewController::enableProxyConfiguration() {
    loadProxyConfiguration([this](std::shared_ptr<NETransparentProxyManager> manager) {
        if (!manager) {
            setStatus(Status::stopped);
            return;
        }
        const auto bundle = extensionBundle();
        const auto identifier = bundle ? bundle->bundleIdentifier() : std::nullopt;
        if (!identifier) {
            setStatus(Status::stopped);
            return;
        }
        auto tunnel = std::make_shared<NETunnelProviderProtocol>();
        tunnel->providerBundleIdentifier = *identifier;
        tunnel->serverAddress = "127.0.0.1";
        tunnel->providerConfiguration = ProviderConfigurationBuilder::build(process_);
        manager->protocolConfiguration = tunnel;
        if (const auto name = applicationBundle_->infoString("CFBundleName")) {
            manager->localizedDescription = *name;
        }
        manager->isEnabled = true;
        manager->saveToPreferences([hop = hopToMain(), manager](OptionalError saveError) {
            hop([manager, saveError](ViewController& controller) {
                if (saveError) {
                    logLine("Failed to save the proxy configuration: " + saveError->localizedDescription());
                    controller.setStatus(Status::stopped);
                    return;
                }
                manager->loadFromPreferences([hop = controller.hopToMain(), manager](OptionalError loadError) {
                    hop([manager, loadError](ViewController& controller) {
                        if (loadError) {
                            logLine("Failed to reload the proxy configuration: " + loadError->localizedDescription());
                            controller.setStatus(Status::stopped);
                            return;
                        }
                        if (const auto startError = manager->connection()->startVPNTunnel()) {
                            logLine("Failed to start proxy: " + startError->localizedDescription());
                            controller.setStatus(Status::stopped);
                            return;
                        }
                        controller.updateStatus(manager);
                        // The configuration just saved is the one to follow: the one loaded when the
                        // window appeared still says it is disabled.
                        controller.observe(manager);
                    });
                });
            });
        });
    });
}

void ViewController::stopFilter() {
    setStatus(Status::indeterminate);
    loadProxyConfiguration([this](std::shared_ptr<NETransparentProxyManager> manager) {
        if (!manager || !manager->isEnabled) {
            setStatus(Status::stopped);
            return;
        }
        manager->connection()->stopVPNTunnel();
        manager->isEnabled = false;
        manager->saveToPreferences([hop = hopToMain(), manager](OptionalError error) {
            hop([error, manager](ViewController& controller) {
                if (error) {
                    logLine("Failed to disable the proxy configuration: " + error->localizedDescription());
                    controller.setStatus(Status::running);
                } else {
                    controller.setStatus(Status::stopped);
                    controller.observe(manager);
                }
            });
        });
    });
}

}  // namespace sentorix
