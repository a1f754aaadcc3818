#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace sentorix {

// What the application takes from and does to its process; tests put in their own.
struct HostProcess {
    std::vector<std::string> arguments;
    // One line to standard output.
    std::function<void(const std::string&)> printLine;
    // Ends the process with the status.
    std::function<void(int)> exit;
    // Writes the message to standard error and ends the process with a failure.
    std::function<void(const std::string&)> fatal;
    std::function<std::optional<std::string>(const std::string&)> environment;

    bool hasArgument(const std::string& argument) const;

    static HostProcess current(int argc, char** argv);
};

}  // namespace sentorix
