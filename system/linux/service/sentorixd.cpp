// sentorixd: the privileged service that activates the Sentorix extension, keeps the saved
// configurations, starts, stops and supervises the extension, and answers the host application on
// its control socket. This file is also its composition root.

#include "ControlMessage.h"
#include "ControlServer.h"
#include "ExtensionProcess.h"
#include "ExtensionSupervisor.h"
#include "KernelRedirection.h"
#include "ServiceRequests.h"

#include "BundleFiles.h"
#include "NSBundle.h"
#include "NSUUID.h"
#include "StateDirectory.h"
#include "UUIDGenerator.h"

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/signal_set.hpp>

#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

namespace {

constexpr const char* Usage =
    "Usage: sentorixd [--help | --version]\n"
    "\n"
    "The Sentorix service. Runs as root; the host application (sentorix) asks it, over a Unix socket,\n"
    "to activate the extension, save its configuration and start or stop it. It starts the extension,\n"
    "restarts it when it ends unasked (after 1 s, doubling up to 30 s). When the extension stops\n"
    "answering for 2 s it removes its redirection and resets the connections waiting on it, so that\n"
    "traffic goes direct; one that answers again within 30 s gets its redirection back and keeps its\n"
    "connections, one that does not is ended and restarted.\n"
    "Root and members of the group 'sentorix' may ask; anyone else is refused. It runs until SIGTERM or\n"
    "SIGINT, leaving a running extension running; at its start it starts the enabled configuration's\n"
    "extension if it is not running.\n"
    "\n"
    "Environment:\n"
    "  SENTORIX_CONTROL_SOCKET      the control socket (default /run/sentorix/sentorixd.sock)\n"
    "  SENTORIX_STATE_DIR           state directory (default /var/lib/sentorix): saved configurations,\n"
    "                               the activated extension, its status and log\n"
    "  SENTORIX_APPLICATION_BUNDLE  the application bundle the extension is activated from (default: the\n"
    "                               installed /usr/lib/sentorix/Sentorix.app, or the build tree's)\n"
    "\n"
    "Exit status: 0 after SIGTERM or SIGINT, 1 when it cannot start, 2 for a usage error.\n";

constexpr int MaxPendingRequests = 16;

void log(const std::string& line) {
    std::fprintf(stderr, "sentorixd: %s\n", line.c_str());
    std::fflush(stderr);
}

// The bundle beside the build tree's binary, or the installed one.
std::string applicationBundlePath() {
    if (const char* set = std::getenv("SENTORIX_APPLICATION_BUNDLE"); set && *set) {
        return set;
    }
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    for (const char* relative : {"../Sentorix.app", "../../lib/sentorix/Sentorix.app"}) {
        const auto candidate = self.parent_path() / relative;
        if (!error && std::filesystem::exists(candidate / "Contents/Info.plist")) {
            return std::filesystem::weakly_canonical(candidate).string();
        }
    }
    return "/usr/lib/sentorix/Sentorix.app";
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--help" || argument == "-h") {
            std::fputs(Usage, stdout);
            return 0;
        }
        if (argument == "--version") {
            std::printf("sentorixd %s\n", SENTORIX_VERSION);
            return 0;
        }
        std::fprintf(stderr, "sentorixd: unexpected argument '%s'\n\n%s", argument.c_str(), Usage);
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    if (::geteuid() != 0) {
        log("must run as root: it starts the extension, which installs kernel programs");
        return 1;
    }
    using namespace sentorix;
    using namespace sentorix::linux_system;
    NSUUID::setGenerator(&UUIDGenerator::random);
    NSBundle::setLoader(BundleFiles::loader());
    const std::string bundlePath = applicationBundlePath();
    auto application = NSBundle::bundleWithPath(bundlePath);
    if (!application) {
        log("no application bundle at " + bundlePath + " (set SENTORIX_APPLICATION_BUNDLE)");
        return 1;
    }

    asio::io_context io;
    // One request at a time, off the socket's thread: starts and stops wait for the extension.
    asio::io_context work;
    auto guard = asio::make_work_guard(work);
    std::thread worker([&work] { work.run(); });
    const auto onWorker = [&work](std::function<void()> block) { asio::post(work, std::move(block)); };

    std::unique_ptr<ControlServer> server;
    const auto pushStatus = [&io, &server](NEVPNStatus status) {
        asio::post(io, [&server, status] {
            if (server) {
                server->push({{"event", "status"},
                              {"status", static_cast<std::int64_t>(status)},
                              {"name", statusName(status)}});
            }
        });
    };
    const std::string stateDirectory = StateDirectory::path();
    auto supervisor = std::make_shared<ExtensionSupervisor>(
        onWorker, log, pushStatus, ExtensionSupervisor::Timing{}, DispatchTimerFactory::system(),
        std::make_shared<ChildExtensionLauncher>(stateDirectory), std::make_shared<KernelRedirection>());
    auto requests = std::make_shared<ServiceRequests>(stateDirectory, application, supervisor, log);

    const auto pending = std::make_shared<std::atomic<int>>(0);
    const std::string socketPath = ControlMessage::socketPath();
    auto listening = ControlServer::listen(
        io, socketPath,
        [&io, &onWorker, supervisor, requests, pending](const std::shared_ptr<ControlSession>& session,
                                               ControlMessage::Dictionary request) {
            const auto* name = ControlMessage::text(request, "request");
            // Answered at once, even while a start is under way.
            if (name && (*name == "status" || *name == "subscribe")) {
                if (*name == "subscribe") {
                    session->subscribe();
                }
                const auto status = supervisor->status();
                session->answer(ControlMessage::success(
                    {{"status", static_cast<std::int64_t>(status)}, {"name", statusName(status)}}));
                return;
            }
            // The clients' requests wait their turn together: a bound keeps a client that asks and
            // leaves, over and over, from queueing work without end.
            if (pending->load() >= MaxPendingRequests) {
                session->answer(ControlMessage::failure(NSError(ControlMessage::ErrorDomain,
                                                                ControlMessage::ServiceUnavailable,
                                                                "The Sentorix service is busy; try again")));
                return;
            }
            ++*pending;
            onWorker([&io, session, requests, pending, request = std::move(request)] {
                auto answer = requests->handle(request);
                --*pending;
                asio::post(io, [session, answer = std::move(answer)] { session->answer(answer); });
            });
        });
    if (!listening) {
        log(listening.error().localizedDescription());
        guard.reset();
        work.stop();
        worker.join();
        return 1;
    }
    server = std::move(*listening);
    log("listening on " + socketPath + "; state in " + stateDirectory + "; extensions from " + bundlePath);
    supervisor->watch();
    onWorker([requests] { requests->resume(); });

    asio::signal_set signals(io, SIGINT, SIGTERM);
    signals.async_wait([&](const std::error_code&, int) {
        log("stopping");
        server.reset();
        io.stop();
    });
    io.run();
    guard.reset();
    work.stop();
    worker.join();
    return 0;
}
