#pragma once

#include <sys/types.h>

#include <string>

namespace sentorix::linux_system {

// What an extension installed in the kernel to redirect traffic to itself, taken away from outside
// while the extension cannot act: its BPF links are detached (they stay defunct in its hands) and
// its nftables table is deleted, so every connection goes direct.
class KernelRedirection {
public:
    struct Removal {
        int links = 0;      // links detached
        bool table = false; // the table was there and is gone
        // Something is left that could not be removed (say an owned table): only the extension's end
        // frees it.
        bool remaining = false;
        std::string problem;
    };

    static Removal removeFor(pid_t extension);
    // Resets the connections that reached the extension's listeners but that it never accepted: with
    // the extension stopped they would wait for the application's own time-out. Those it accepted are
    // its tunnels, left alone. The count reset.
    static int resetWaitingConnections(pid_t extension);
};

}  // namespace sentorix::linux_system
