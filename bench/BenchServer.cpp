// bench-server: a fast HTTP responder for the transparent-path benchmarks.
//   GET /bytes/N  N bytes of body, then close      GET /  "ok", then close
// A connection that sends nothing is held open: the idle-flow measurements use that.

#include <asio/ip/tcp.hpp>
#include <asio/read_until.hpp>
#include <asio/signal_set.hpp>
#include <asio/streambuf.hpp>
#include <asio/thread_pool.hpp>
#include <asio/write.hpp>
#include <asio/ip/v6_only.hpp>

#include <sys/resource.h>

#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

const std::vector<char>& chunk() {
    static const std::vector<char> data(1 << 20, 'x');
    return data;
}

struct Connection : std::enable_shared_from_this<Connection> {
    explicit Connection(asio::ip::tcp::socket s) : socket(std::move(s)) {}
    asio::ip::tcp::socket socket;
    asio::streambuf request;
    std::string header;
    std::size_t remaining = 0;

    void start() {
        asio::async_read_until(socket, request, "\r\n\r\n", [self = shared_from_this()](std::error_code e, std::size_t) {
            if (!e) self->answer();
        });
    }
    void answer() {
        std::string line(asio::buffers_begin(request.data()), asio::buffers_end(request.data()));
        line = line.substr(0, line.find("\r\n"));
        std::string body = "ok\n";
        if (line.starts_with("GET /bytes/")) {
            remaining = std::stoull(line.substr(11));
            body.clear();
        }
        header = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.empty() ? remaining : body.size()) +
                 "\r\nConnection: close\r\n\r\n" + body;
        asio::async_write(socket, asio::buffer(header), [self = shared_from_this()](std::error_code e, std::size_t) {
            if (!e) self->sendBody();
        });
    }
    void sendBody() {
        if (remaining == 0) {
            std::error_code ignored;
            socket.shutdown(asio::socket_base::shutdown_send, ignored);
            return;
        }
        const std::size_t n = std::min(remaining, chunk().size());
        remaining -= n;
        asio::async_write(socket, asio::buffer(chunk().data(), n), [self = shared_from_this()](std::error_code e, std::size_t) {
            if (!e) self->sendBody();
        });
    }
};

void accept(asio::ip::tcp::acceptor& acceptor, asio::thread_pool& pool) {
    acceptor.async_accept(pool, [&](std::error_code e, asio::ip::tcp::socket s) {
        if (!e) std::make_shared<Connection>(std::move(s))->start();
        if (e != asio::error::operation_aborted) accept(acceptor, pool);
    });
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
    const unsigned short port = argc > 1 ? static_cast<unsigned short>(std::atoi(argv[1])) : 80;
    asio::thread_pool pool(2);
    asio::ip::tcp::acceptor acceptor(pool);
    const asio::ip::tcp::endpoint endpoint(asio::ip::tcp::v6(), port);
    acceptor.open(endpoint.protocol());
    acceptor.set_option(asio::ip::v6_only(false));
    acceptor.set_option(asio::socket_base::reuse_address(true));
    acceptor.bind(endpoint);
    acceptor.listen(4096);
    accept(acceptor, pool);
    std::fprintf(stderr, "bench-server: listening on [::]:%u\n", port);
    asio::io_context io;
    asio::signal_set signals(io, SIGINT, SIGTERM);
    signals.async_wait([&](std::error_code, int) { io.stop(); });
    io.run();
    std::_Exit(0);
}
