// com.sentorix.desktop.extension: the transparent proxy provider program, and its composition root:
// the one place where the Linux platform and the provider are joined.

#include "platform/NEProvider.h"
#include "platform/NSBundle.h"
#include "platform/NSUUID.h"

#include "BundleFiles.h"
#include "ProviderHost.h"
#include "UUIDGenerator.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr const char* Usage =
    "Usage: com.sentorix.desktop.extension\n"
    "\n"
    "The Sentorix transparent proxy provider. The Sentorix service (sentorixd) starts it when the host\n"
    "application asks (sentorix --start-proxy); it may also be run by hand as root. It redirects the intercepted TCP ports of its network namespace\n"
    "to itself with kernel programs on the cgroup v2 root (or, where they cannot load, the nftables\n"
    "table 'inet sentorix'), relays chosen flows through the local proxy at 127.0.0.1:8080 and runs\n"
    "until SIGTERM or SIGINT, when it removes its rules and exits with status 0.\n"
    "\n"
    "Environment:\n"
    "  SENTORIX_STATE_DIR                        state directory (default /var/lib/sentorix): the saved\n"
    "                                            configuration, the published status and the lock file\n"
    "  SENTORIX_PROVIDER_CONFIGURATION           a property-list file holding the provider configuration,\n"
    "                                            used instead of the saved one\n"
    "  SENTORIX_EXTENSION_MONITORING_SOCKET_PATH the monitoring socket, when no configuration names one\n"
    "  SENTORIX_INTERCEPTION                     'nftables' to redirect with nftables even where the\n"
    "                                            kernel programs would load (UDP is then not refused)\n"
    "  SENTORIX_HEARTBEAT_FD                     set by the service: the pipe the extension proves it is\n"
    "                                            alive on, four times a second\n"
    "\n"
    "Exit status: 0 after a stop, 1 when it cannot start (not root, another instance running).\n";

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) {
        if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
            std::fputs(Usage, stdout);
            return 0;
        }
        std::fprintf(stderr, "com.sentorix.desktop.extension: unexpected argument '%s'\n\n%s", argv[1], Usage);
        return 2;
    }
    using namespace sentorix;
    // The platform services the provider's code reaches through its interface.
    NSUUID::setGenerator(&linux_system::UUIDGenerator::random);
    NSBundle::setLoader(linux_system::BundleFiles::loader());
    // The platform's provider machinery, which builds the principal class's provider and runs it.
    NEProvider::setSystemExtensionMode([] { linux_system::ProviderHost::start(&NEProviderPrincipalClass); });

    NEProvider::startSystemExtensionMode();
    dispatchMain();
}
