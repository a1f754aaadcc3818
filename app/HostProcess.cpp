#include "HostProcess.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace sentorix {

bool HostProcess::hasArgument(const std::string& argument) const {
    return std::find(arguments.begin(), arguments.end(), argument) != arguments.end();
}

HostProcess HostProcess::current(int argc, char** argv) {
    HostProcess process;
    process.arguments.assign(argv, argv + argc);
    process.printLine = [](const std::string& line) {
        std::fputs((line + "\n").c_str(), stdout);
        std::fflush(stdout);
    };
    // Completions may end the process from a store thread while the event loop runs: skip the
    // static destructors that would race it.
    process.exit = [](int status) {
        std::fflush(nullptr);
        std::_Exit(status);
    };
    process.fatal = [](const std::string& message) {
        std::fprintf(stderr, "sentorix: fatal: %s\n", message.c_str());
        std::fflush(nullptr);
        std::_Exit(1);
    };
    process.environment = [](const std::string& name) -> std::optional<std::string> {
        const char* value = std::getenv(name.c_str());
        return value ? std::optional<std::string>(value) : std::nullopt;
    };
    return process;
}

}  // namespace sentorix
