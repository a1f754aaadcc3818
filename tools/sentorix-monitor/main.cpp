// sentorix-monitor: prints every monitoring frame received on a Unix socket as one JSON line.

#include "MonitorListener.h"

#include <asio/post.hpp>
#include <asio/signal_set.hpp>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <utility>

namespace {

constexpr const char* Usage =
    "Usage: sentorix-monitor --socket PATH\n"
    "\n"
    "Listens on the Unix-domain socket PATH for Sentorix monitoring frames (a 4-byte big-endian\n"
    "length, then one JSON event) and prints each event as one line on standard output.\n"
    "Problems (frames over 1 MiB, peers that disconnect mid-frame) go to standard error.\n"
    "A stale socket file at PATH is replaced. Ends with status 0 on SIGINT or SIGTERM.\n"
    "\n"
    "Options:\n"
    "  --socket PATH   the socket to listen on (at most 107 bytes)\n"
    "  --help          show this text\n";

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    std::string socketPath;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--help" || argument == "-h") {
            std::fputs(Usage, stdout);
            return 0;
        } else if (argument == "--socket" && i + 1 < argc) {
            socketPath = argv[++i];
        } else if (argument.starts_with("--socket=")) {
            socketPath = argument.substr(std::strlen("--socket="));
        } else {
            std::fprintf(stderr, "sentorix-monitor: unexpected argument '%s'\n\n%s", argument.c_str(), Usage);
            return 2;
        }
    }
    if (socketPath.empty()) {
        std::fprintf(stderr, "sentorix-monitor: --socket PATH is required\n\n%s", Usage);
        return 2;
    }

    asio::io_context io;
    static char outputBuffer[1 << 16];
    std::setvbuf(stdout, outputBuffer, _IOFBF, sizeof outputBuffer);  // a terminal too: lines come in bursts
    bool flushQueued = false;
    MonitorListener listener(
        io, socketPath,
        [&io, &flushQueued](const std::string& json) {
            std::fwrite(json.data(), 1, json.size(), stdout);
            std::fputc('\n', stdout);
            // Written out once the events that arrived together are all in: one write for a burst.
            if (!std::exchange(flushQueued, true)) {
                asio::post(io, [&flushQueued] {
                    flushQueued = false;
                    std::fflush(stdout);
                });
            }
        },
        [](const std::string& problem) { std::fprintf(stderr, "sentorix-monitor: %s\n", problem.c_str()); });
    if (const std::string error = listener.open(); !error.empty()) {
        std::fprintf(stderr, "sentorix-monitor: %s\n", error.c_str());
        return 1;
    }
    std::fprintf(stderr, "sentorix-monitor: listening on %s\n", socketPath.c_str());

    asio::signal_set signals(io, SIGINT, SIGTERM);
    signals.async_wait([&](const std::error_code&, int) {
        listener.close();
        io.stop();
    });
    io.run();
    std::fflush(stdout);
    return 0;
}
