#pragma once

#include "HostProcess.h"

#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace sentorix::testing {

// Ends a test's "process" where the real one would end with a fatal message.
struct FatalError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A process whose printed lines and exit statuses are recorded instead of acted on.
class RecordingHostProcess {
public:
    explicit RecordingHostProcess(std::vector<std::string> arguments = {"sentorix"},
                                  std::map<std::string, std::string> environment = {})
        : state_(std::make_shared<State>()) {
        process_.arguments = std::move(arguments);
        process_.printLine = [state = state_](const std::string& line) {
            std::lock_guard lock(state->mutex);
            state->lines.push_back(line);
        };
        process_.exit = [state = state_](int status) {
            std::lock_guard lock(state->mutex);
            state->exits.push_back(status);
        };
        process_.fatal = [](const std::string& message) { throw FatalError(message); };
        process_.environment = [environment = std::move(environment)](const std::string& name) {
            const auto found = environment.find(name);
            return found == environment.end() ? std::nullopt : std::optional<std::string>(found->second);
        };
    }

    const HostProcess& process() const { return process_; }
    std::vector<std::string> lines() const {
        std::lock_guard lock(state_->mutex);
        return state_->lines;
    }
    std::vector<int> exits() const {
        std::lock_guard lock(state_->mutex);
        return state_->exits;
    }

private:
    struct State {
        std::mutex mutex;
        std::vector<std::string> lines;
        std::vector<int> exits;
    };
    std::shared_ptr<State> state_;
    HostProcess process_;
};

}  // namespace sentorix::testing
