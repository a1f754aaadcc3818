#pragma once

#include "SupervisedExtension.h"

#include <csignal>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace sentorix::linux_system {

// Stand-ins for what the supervisor touches: runs that beat until told not to and end when killed, a
// launcher whose next launches can be made to fail, a redirection that records what was asked of it.
// One mutex for all: the supervisor asks from its queue and the worker, the test between steps.
struct FakeExtensions : std::enable_shared_from_this<FakeExtensions> {
    struct Run {
        pid_t pid = 0;
        bool beating = true;  // false: stopped (SIGSTOP), it beats no more
        std::optional<std::string> how;
        std::vector<int> signals;
        bool endAsked = false;
    };

    mutable std::mutex mutex;
    std::vector<std::shared_ptr<Run>> runs;
    std::vector<std::string> launched;  // each launch asked, failed or not
    std::deque<NSError> failures;       // what the next launches fail with
    bool elsewhere = false;             // one started before the service holds the lock
    int unownedStops = 0;
    pid_t nextPid = 7001;

    std::shared_ptr<Run> last() const {
        std::lock_guard lock(mutex);
        return runs.empty() ? nullptr : runs.back();
    }
    bool aliveLocked() const { return elsewhere || (!runs.empty() && !runs.back()->how); }
    void failNext(const std::string& description) {
        std::lock_guard lock(mutex);
        failures.emplace_back("SentorixExtensionConnection", 1, description);
    }
    std::size_t launches() const {
        std::lock_guard lock(mutex);
        return launched.size();
    }
};

class FakeRun final : public ExtensionRun {
public:
    FakeRun(std::shared_ptr<FakeExtensions> world, std::shared_ptr<FakeExtensions::Run> run)
        : world_(std::move(world)), run_(std::move(run)) {}

    pid_t pid() const override { return run_->pid; }
    bool beatsArrived() override {
        std::lock_guard lock(world_->mutex);
        return run_->beating && !run_->how;
    }
    std::optional<std::string> ended() override {
        std::lock_guard lock(world_->mutex);
        return run_->how;
    }
    void signal(int number) override {
        std::lock_guard lock(world_->mutex);
        run_->signals.push_back(number);
        if (number == SIGKILL && !run_->how) {
            run_->how = "was killed by signal 9 (SIGKILL)";
        }
    }
    bool end() override {
        std::lock_guard lock(world_->mutex);
        run_->endAsked = true;
        run_->how = "exited with status 0";
        return true;
    }

private:
    const std::shared_ptr<FakeExtensions> world_;
    const std::shared_ptr<FakeExtensions::Run> run_;
};

class FakeLauncher final : public ExtensionLauncher {
public:
    explicit FakeLauncher(std::shared_ptr<FakeExtensions> world) : world_(std::move(world)) {}

    Result<std::unique_ptr<ExtensionRun>> launch(const std::string& identifier) override {
        std::lock_guard lock(world_->mutex);
        world_->launched.push_back(identifier);
        if (!world_->failures.empty()) {
            NSError error = world_->failures.front();
            world_->failures.pop_front();
            return error;
        }
        if (world_->elsewhere) {
            return std::unique_ptr<ExtensionRun>();
        }
        auto run = std::make_shared<FakeExtensions::Run>();
        run->pid = world_->nextPid++;
        world_->runs.push_back(run);
        return std::unique_ptr<ExtensionRun>(std::make_unique<FakeRun>(world_, run));
    }
    bool running() const override {
        std::lock_guard lock(world_->mutex);
        return world_->aliveLocked();
    }
    NEVPNStatus published() const override {
        std::lock_guard lock(world_->mutex);
        return world_->aliveLocked() ? NEVPNStatus::connected : NEVPNStatus::disconnected;
    }
    void stopUnowned() override {
        std::lock_guard lock(world_->mutex);
        ++world_->unownedStops;
        world_->elsewhere = false;
    }

private:
    const std::shared_ptr<FakeExtensions> world_;
};

class FakeRedirection final : public ExtensionRedirection {
public:
    Result<std::string> remove(pid_t extension) override {
        std::lock_guard lock(mutex);
        removedFrom.push_back(extension);
        return answer;
    }
    void restore(pid_t extension) override {
        std::lock_guard lock(mutex);
        restoredTo.push_back(extension);
    }

    std::mutex mutex;
    Result<std::string> answer = std::string("removed");
    std::vector<pid_t> removedFrom;
    std::vector<pid_t> restoredTo;
};

}  // namespace sentorix::linux_system
