// sentorix-proxy: a small, fast HTTP CONNECT proxy for trying Sentorix out and for benchmarks.

#include "ConnectProxy.h"

#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>

#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>

namespace {

constexpr const char* Usage =
    "Usage: sentorix-proxy [--listen ADDRESS:PORT] [-v | --verbose] [-q | --quiet] [--threads N]\n"
    "\n"
    "An HTTP CONNECT proxy. Each CONNECT is answered with 200 once the target is reached, and the\n"
    "tunnelled bytes are then moved inside the kernel (splice). Other methods get 405.\n"
    "\n"
    "Options:\n"
    "  --listen ADDRESS:PORT  where to listen (default 127.0.0.1:8080; [::1]:8080 for IPv6)\n"
    "  -v, --verbose          log each request line with all its headers (default: request lines only)\n"
    "  -q, --quiet            log nothing but failures to reach a target\n"
    "  --threads N            worker threads (default 2)\n"
    "  --help                 show this text\n"
    "\n"
    "Started by socket activation (LISTEN_FDS, LISTEN_PID), it serves the socket handed over instead.\n"
    "Log lines go to standard output. SIGINT or SIGTERM ends it with status 0.\n";

// The first socket systemd's socket activation hands over, or -1.
int handedOverSocket() {
    const char* pid = std::getenv("LISTEN_PID");
    const char* fds = std::getenv("LISTEN_FDS");
    if (!pid || !fds || std::atol(pid) != static_cast<long>(::getpid()) || std::atoi(fds) < 1) {
        return -1;
    }
    return 3;
}

bool splitListen(const std::string& text, std::string& address, unsigned short& port) {
    const auto colon = text.rfind(':');
    if (colon == std::string::npos) {
        return false;
    }
    address = text.substr(0, colon);
    if (address.starts_with("[") && address.ends_with("]")) {
        address = address.substr(1, address.size() - 2);
    }
    try {
        const unsigned long value = std::stoul(text.substr(colon + 1));
        if (value > 65535) {
            return false;
        }
        port = static_cast<unsigned short>(value);
    } catch (...) {
        return false;
    }
    return !address.empty();
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    rlimit files{};  // every tunnel holds two descriptors
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
    std::string listen = "127.0.0.1:8080";
    auto verbosity = ConnectProxy::Verbosity::requests;
    unsigned threads = 2;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--help" || argument == "-h") {
            std::fputs(Usage, stdout);
            return 0;
        } else if (argument == "--listen" && i + 1 < argc) {
            listen = argv[++i];
        } else if (argument == "-v" || argument == "--verbose") {
            verbosity = ConnectProxy::Verbosity::headers;
        } else if (argument == "-q" || argument == "--quiet") {
            verbosity = ConnectProxy::Verbosity::quiet;
        } else if (argument == "--threads" && i + 1 < argc) {
            threads = static_cast<unsigned>(std::max(1, std::atoi(argv[++i])));
        } else {
            std::fprintf(stderr, "sentorix-proxy: unexpected argument '%s'\n\n%s", argument.c_str(), Usage);
            return 2;
        }
    }
    std::string address;
    unsigned short port = 0;
    if (!splitListen(listen, address, port)) {
        std::fprintf(stderr, "sentorix-proxy: --listen takes ADDRESS:PORT, not '%s'\n", listen.c_str());
        return 2;
    }

    asio::thread_pool pool(threads);
    std::mutex outputLock;
    ConnectProxy proxy(pool, verbosity, [&](const std::string& line) {
        std::lock_guard lock(outputLock);
        std::printf("sentorix-proxy: %s\n", line.c_str());
        std::fflush(stdout);
    });
    const int handedOver = handedOverSocket();
    if (const std::string error = handedOver >= 0 ? proxy.adopt(handedOver) : proxy.listen(address, port);
        !error.empty()) {
        std::fprintf(stderr, "sentorix-proxy: %s\n", error.c_str());
        return 1;
    }
    if (handedOver >= 0) {
        std::fprintf(stderr, "sentorix-proxy: listening on the socket handed over, port %u\n", proxy.port());
    } else {
        std::fprintf(stderr, "sentorix-proxy: listening on %s\n", listen.c_str());
    }

    asio::io_context signals_io;
    asio::signal_set signals(signals_io, SIGINT, SIGTERM);
    signals.async_wait([&](const std::error_code&, int) { signals_io.stop(); });
    signals_io.run();
    pool.stop();
    pool.join();
    return 0;
}
