// sentorix-monitor: prints every monitoring frame received on a Unix socket as one JSON line, or records
// it in the journal.

#include "EventJournalEntry.h"
#include "JournalSender.h"
#include "MonitorListener.h"

#include <asio/post.hpp>
#include <asio/signal_set.hpp>

#include <csignal>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr const char* Usage =
    "Usage: sentorix-monitor --socket PATH [--journal]\n"
    "\n"
    "Listens on the Unix-domain socket PATH for Sentorix monitoring frames (a 4-byte big-endian\n"
    "length, then one JSON event) and prints each event as one line on standard output, or, with\n"
    "--journal, records it in the journal as one entry: the JSON as MESSAGE, and SENTORIX_SIGNAL,\n"
    "SENTORIX_CODE, SENTORIX_FLOW_ID, SENTORIX_LEVEL and each context and metric key as\n"
    "SENTORIX_<KEY> (SENTORIX_APP_ID, ...).\n"
    "Problems (frames over 1 MiB, peers that disconnect mid-frame) go to standard error.\n"
    "A stale socket file at PATH is replaced. Ends with status 0 on SIGINT or SIGTERM.\n"
    "\n"
    "Options:\n"
    "  --socket PATH   the socket to listen on (at most 107 bytes)\n"
    "  --journal       record events in the journal instead of printing them\n"
    "  --help          show this text\n";

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    std::string socketPath;
    bool journal = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--help" || argument == "-h") {
            std::fputs(Usage, stdout);
            return 0;
        } else if (argument == "--journal") {
            journal = true;
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
    // Waits for the journal, two seconds at most per entry: the extension's own bounds on its sends keep
    // it from ever waiting for this.
    const sentorix::linux_system::JournalSender journalSender(sentorix::linux_system::JournalSender::SystemSocket, true);
    std::uint64_t unwritten = 0;
    auto record = [&journalSender, &unwritten](const std::string& json) {
        const auto fields = EventJournalEntry::fieldsOf(json);
        std::vector<sentorix::linux_system::JournalSender::Field> views(fields.begin(), fields.end());
        if (const auto sent = journalSender.send(views); !sent && unwritten++ % 1000 == 0) {
            std::fprintf(stderr, "sentorix-monitor: %llu events not recorded so far: %s\n",
                         static_cast<unsigned long long>(unwritten), sent.error().localizedDescription().c_str());
        }
    };
    auto print = [&io, &flushQueued](const std::string& json) {
        std::fwrite(json.data(), 1, json.size(), stdout);
        std::fputc('\n', stdout);
        // Written out once the events that arrived together are all in: one write for a burst.
        if (!std::exchange(flushQueued, true)) {
            asio::post(io, [&flushQueued] {
                flushQueued = false;
                std::fflush(stdout);
            });
        }
    };
    MonitorListener listener(
        io, socketPath,
        journal ? std::function<void(const std::string&)>(record) : std::function<void(const std::string&)>(print),
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
