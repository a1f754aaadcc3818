#pragma once

#include "Journal.h"
#include "monitoring/ProxyTunnelMonitoringClient.h"

#include <mutex>
#include <vector>

namespace sentorix::testing {

// A monitoring client that keeps every event in emit order instead of sending it.
class RecordingMonitoringClient : public ProxyTunnelMonitoringClient {
public:
    explicit RecordingMonitoringClient(std::shared_ptr<Journal> journal = nullptr)
        : ProxyTunnelMonitoringClient(std::nullopt,
                                      DispatchQueue::create("com.sentorix.test", DispatchQueue::Kind::Serial),
                                      std::make_shared<ProxyTunnelMonitoringFrameEncoder>()),
          journal_(std::move(journal)) {}

    void emit(ProxyTunnelMonitoringEvent event) override {
        if (journal_) {
            journal_->add("event." + event.currentSignal);
        }
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(event));
    }
    bool wantsEvents() const override { return true; }  // records with no socket path
    std::vector<ProxyTunnelMonitoringEvent> events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }
    std::vector<std::string> signals() const {
        std::vector<std::string> result;
        for (const auto& event : events()) {
            result.push_back(event.currentSignal);
        }
        return result;
    }
    // The last event with the signal; fails the test when there is none.
    ProxyTunnelMonitoringEvent last(const std::string& signal) const;

private:
    std::shared_ptr<Journal> journal_;
    mutable std::mutex mutex_;
    std::vector<ProxyTunnelMonitoringEvent> events_;
};

inline ProxyTunnelMonitoringEvent RecordingMonitoringClient::last(const std::string& signal) const {
    const auto all = events();
    for (auto it = all.rbegin(); it != all.rend(); ++it) {
        if (it->currentSignal == signal) {
            return *it;
        }
    }
    throw std::runtime_error("no event " + signal);
}

}  // namespace sentorix::testing
