#include "ConnectProxy.h"

#include <sys/socket.h>

#include "SpliceRelay.h"

#include <asio/bind_executor.hpp>
#include <asio/connect.hpp>
#include <asio/read_until.hpp>
#include <asio/streambuf.hpp>
#include <asio/write.hpp>

#include <memory>

using sentorix::linux_system::SpliceRelay;

namespace {

constexpr std::size_t MaxHeaderBytes = 16384;

struct Session {
    explicit Session(SpliceRelay::Strand strand)
        : strand(strand), client(strand), upstream(strand), resolver(strand), header(MaxHeaderBytes) {}
    SpliceRelay::Strand strand;
    asio::ip::tcp::socket client;
    asio::ip::tcp::socket upstream;
    asio::ip::tcp::resolver resolver;
    asio::streambuf header;
    std::string requestLine;
};

void reply(const std::shared_ptr<Session>& session, const std::string& status) {
    auto text = std::make_shared<std::string>("HTTP/1.1 " + status + "\r\nConnection: close\r\n\r\n");
    asio::async_write(session->client, asio::buffer(*text), [session, text](const std::error_code&, std::size_t) {
        std::error_code ignored;
        session->client.shutdown(asio::socket_base::shutdown_both, ignored);
        session->client.close(ignored);
    });
}

// "host:port" or "[v6]:port".
bool splitTarget(const std::string& target, std::string& host, std::string& port) {
    if (target.starts_with("[")) {
        const auto close = target.find("]:");
        if (close == std::string::npos) {
            return false;
        }
        host = target.substr(1, close - 1);
        port = target.substr(close + 2);
    } else {
        const auto colon = target.rfind(':');
        if (colon == std::string::npos) {
            return false;
        }
        host = target.substr(0, colon);
        port = target.substr(colon + 1);
    }
    return !host.empty() && !port.empty() && port.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

ConnectProxy::ConnectProxy(asio::thread_pool& pool, Verbosity verbosity, std::function<void(const std::string&)> log)
    : pool_(pool), verbosity_(verbosity), log_(std::move(log)), acceptor_(pool) {}

std::string ConnectProxy::listen(const std::string& address, unsigned short port) {
    std::error_code error;
    const auto ip = asio::ip::make_address(address, error);
    if (error) {
        return "not an IP address: " + address;
    }
    const asio::ip::tcp::endpoint endpoint(ip, port);
    acceptor_.open(endpoint.protocol(), error);
    if (!error) {
        acceptor_.set_option(asio::socket_base::reuse_address(true), error);
        acceptor_.bind(endpoint, error);
    }
    if (!error) {
        acceptor_.listen(asio::socket_base::max_listen_connections, error);
    }
    if (error) {
        return "cannot listen on " + address + ":" + std::to_string(port) + ": " + error.message();
    }
    accept();
    return {};
}

std::string ConnectProxy::adopt(int listening) {
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    if (::getsockname(listening, reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
        (local.ss_family != AF_INET && local.ss_family != AF_INET6)) {
        return "the socket handed over (descriptor " + std::to_string(listening) + ") is not a TCP socket";
    }
    std::error_code error;
    acceptor_.assign(local.ss_family == AF_INET ? asio::ip::tcp::v4() : asio::ip::tcp::v6(), listening, error);
    if (error) {
        return "cannot take the socket handed over: " + error.message();
    }
    accept();
    return {};
}

unsigned short ConnectProxy::port() const {
    std::error_code ignored;
    return acceptor_.local_endpoint(ignored).port();
}

void ConnectProxy::accept() {
    acceptor_.async_accept(pool_, [this](const std::error_code& error, asio::ip::tcp::socket client) {
        if (error == asio::error::operation_aborted) {
            return;
        }
        if (!error) {
            serve(std::move(client));
        }
        accept();
    });
}

void ConnectProxy::serve(asio::ip::tcp::socket accepted) {
    auto session = std::make_shared<Session>(asio::make_strand(pool_.get_executor()));
    std::error_code error;
    session->client.assign(accepted.local_endpoint(error).protocol(), accepted.release(), error);
    if (error) {
        return;
    }
    asio::async_read_until(
        session->client, session->header, "\r\n\r\n",
        asio::bind_executor(session->strand, [this, session](const std::error_code& readError, std::size_t length) {
            if (readError) {
                if (readError == asio::error::not_found) {
                    reply(session, "431 Request Header Fields Too Large");
                }
                return;
            }
            const std::string header(asio::buffers_begin(session->header.data()),
                                     asio::buffers_begin(session->header.data()) + std::ptrdiff_t(length));
            session->header.consume(length);
            const std::string requestLine = header.substr(0, header.find("\r\n"));
            if (verbosity_ == Verbosity::headers) {
                std::string lines = header.substr(0, header.size() - 4);
                std::erase(lines, '\r');
                log_(lines);
            } else if (verbosity_ == Verbosity::requests) {
                log_(requestLine);
            }
            const auto firstSpace = requestLine.find(' ');
            const auto secondSpace = requestLine.find(' ', firstSpace + 1);
            std::string host, port;
            if (requestLine.substr(0, firstSpace) != "CONNECT") {
                reply(session, "405 Method Not Allowed");
                return;
            }
            if (secondSpace == std::string::npos ||
                !splitTarget(requestLine.substr(firstSpace + 1, secondSpace - firstSpace - 1), host, port)) {
                reply(session, "400 Bad Request");
                return;
            }
            session->requestLine = requestLine;
            session->resolver.async_resolve(
                host, port,
                asio::bind_executor(session->strand, [this, session](const std::error_code& resolveError,
                                                                     asio::ip::tcp::resolver::results_type results) {
                    if (resolveError) {
                        log_("502 for " + session->requestLine + ": " + resolveError.message());
                        reply(session, "502 Bad Gateway");
                        return;
                    }
                    asio::async_connect(
                        session->upstream, results,
                        asio::bind_executor(session->strand, [this, session](const std::error_code& connectError,
                                                                             const asio::ip::tcp::endpoint&) {
                            if (connectError) {
                                log_("502 for " + session->requestLine + ": " + connectError.message());
                                reply(session, "502 Bad Gateway");
                                return;
                            }
                            std::error_code ignored;
                            session->upstream.set_option(asio::ip::tcp::no_delay(true), ignored);
                            auto established = std::make_shared<std::string>("HTTP/1.1 200 Connection established\r\n\r\n");
                            // Bytes the client sent after its header go upstream first.
                            auto early = std::make_shared<std::string>(
                                asio::buffers_begin(session->header.data()), asio::buffers_end(session->header.data()));
                            asio::async_write(
                                session->client, asio::buffer(*established),
                                asio::bind_executor(session->strand, [this, session, established, early](
                                                                         const std::error_code& writeError, std::size_t) {
                                    if (writeError) {
                                        return;
                                    }
                                    asio::async_write(
                                        session->upstream, asio::buffer(*early),
                                        asio::bind_executor(session->strand, [this, session, early](
                                                                                 const std::error_code& earlyError, std::size_t) {
                                            if (earlyError) {
                                                return;
                                            }
                                            active_++;
                                            SpliceRelay::start(session->strand, std::move(session->client),
                                                               std::move(session->upstream), [this] { active_--; });
                                        }));
                                }));
                        }));
                }));
        }));
}
