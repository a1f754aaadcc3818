#pragma once

#include "NSBundle.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace sentorix {

// Finds the system extension's bundle inside the application bundle, once.
class ExtensionBundleLookup {
public:
    // The command line names no listing error; the window names the directory and the error.
    enum class Messages { commandLine, window };

    ExtensionBundleLookup(std::shared_ptr<NSBundle> application, std::function<void(const std::string&)> fatal,
                          Messages messages);

    // Ends the process through `fatal` when there is no extension to find.
    std::shared_ptr<NSBundle> bundle();

private:
    std::shared_ptr<NSBundle> find() const;

    const std::shared_ptr<NSBundle> application_;
    const std::function<void(const std::string&)> fatal_;
    const Messages messages_;
    std::mutex mutex_;
    std::shared_ptr<NSBundle> bundle_;
};

}  // namespace sentorix
