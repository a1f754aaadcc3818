#pragma once

#include "Result.h"
#include "SupervisedExtension.h"

#include <sys/types.h>

#include <string>

namespace sentorix::linux_system {

// What an extension installed in the kernel to redirect traffic to itself, taken away from outside
// while the extension cannot act: its BPF links are detached (they stay defunct in its hands) and
// its nftables table is deleted, so every connection goes direct.
// As the supervisor's ExtensionRedirection, a removal resets the connections waiting on it too, and
// putting it back asks the extension (SIGUSR1) to attach it again.
class KernelRedirection final : public ExtensionRedirection {
public:
    struct Removal {
        int links = 0;      // links detached
        bool table = false; // the table was there and is gone
        // An error when something is left that could not be removed (say an owned table): only the
        // extension's end frees it.
        Result<void> left;
    };

    static Removal removeFor(pid_t extension);
    // Resets the connections that reached the extension's listeners but that it never accepted: with
    // the extension stopped they would wait for the application's own time-out. Those it accepted are
    // its tunnels, left alone. The count reset.
    static int resetWaitingConnections(pid_t extension);

    Result<std::string> remove(pid_t extension) override;
    void restore(pid_t extension) override;
};

}  // namespace sentorix::linux_system
