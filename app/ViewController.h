#pragma once

#include "ExtensionBundleLookup.h"
#include "HostProcess.h"
#include "NETransparentProxyManager.h"
#include "NSNotificationCenter.h"
#include "OSSystemExtensionRequest.h"

#include <QWidget>

#include <functional>
#include <memory>
#include <optional>

class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;

namespace sentorix {

// The control window: shows whether the proxy is stopped, changing or running, and starts and stops it.
class ViewController : public QWidget {
public:
    enum class Status { stopped, indeterminate, running };

    ViewController(HostProcess process, std::shared_ptr<NSBundle> applicationBundle, QWidget* parent = nullptr);
    ~ViewController() override;

    Status status() const { return status_; }
    void setStatus(Status status);
    // The image resource the indicator shows, e.g. "dot_red".
    QString indicatorImageName() const { return indicatorImageName_; }
    bool isSpinnerAnimating() const;

    void viewWillAppear();
    void viewWillDisappear();
    void startFilter();
    void stopFilter();
    void updateStatus(const std::shared_ptr<NETransparentProxyManager>& manager);
    // Follows the status changes of this configuration's connection from now on.
    void observe(const std::shared_ptr<NETransparentProxyManager>& manager);
    void loadProxyConfiguration(std::function<void(std::shared_ptr<NETransparentProxyManager>)> completionHandler);
    void enableProxyConfiguration();
    std::shared_ptr<NSBundle> extensionBundle();

    QLabel* statusIndicator;
    QProgressBar* statusSpinner;
    QPushButton* startButton;
    QPushButton* stopButton;
    QPlainTextEdit* logTextView;

protected:
    void showEvent(class QShowEvent* event) override;
    void hideEvent(class QHideEvent* event) override;

private:
    class RequestDelegate;
    friend class RequestDelegate;

    // Made on the main thread; runs a block on the main queue if this controller still exists then.
    using MainHop = std::function<void(std::function<void(ViewController&)>)>;
    MainHop hopToMain();
    void submitActivation(const std::string& identifier);
    void requestFailed(const NSError& error);
    void requestFinished(OSSystemExtensionRequestResult result);

    std::optional<NSNotificationCenter::Token> observer_;
    Status status_ = Status::stopped;
    QString indicatorImageName_;
    const HostProcess process_;
    const std::shared_ptr<NSBundle> applicationBundle_;
    ExtensionBundleLookup extensionBundle_;
    std::shared_ptr<RequestDelegate> requestDelegate_;
};

}  // namespace sentorix
