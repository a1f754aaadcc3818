// floor-relay: the leanest transparent relay we know how to write, as a floor for bench/transparent.sh.
//   floor-relay --listen PORT --proxy 127.0.0.1:8080 [--threads N]
// Connections redirected to 127.0.0.1:PORT (nftables `redirect`) are tunnelled through the HTTP proxy
// with CONNECT to their original destination, then relayed with splice(2). No policy, no logging, no
// time-outs: whatever it spends per connection is close to the least any such relay must spend.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <linux/netfilter_ipv4.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace {

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    ~Fd() { reset(); }
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    void reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

[[noreturn]] void die(const char* what) {
    std::perror(what);
    std::exit(1);
}

constexpr unsigned kSpliceFlags = SPLICE_F_MOVE | SPLICE_F_NONBLOCK;
constexpr std::size_t kMaxAnswer = 4096;  // a proxy's answer header; its rest must fit in an empty pipe

// One direction of a flow: src -> pipe -> dst.
struct Direction {
    Fd pipeRead, pipeWrite;
    std::size_t inPipe = 0;
    bool ended = false;  // src has sent its end of data
    bool shut = false;   // ... and dst has been told, the pipe being empty
};

// Moves what can be moved now. Returns false on an error. Otherwise it stops only on EAGAIN (or once
// the direction is over), which is what edge-triggered epoll needs to report the next change.
bool pump(Direction& d, int src, int dst) {
    for (;;) {
        if (d.inPipe > 0) {
            const ssize_t n = ::splice(d.pipeRead.get(), nullptr, dst, nullptr, d.inPipe, kSpliceFlags);
            if (n < 0) return errno == EAGAIN;  // the rest stays in the pipe until dst's EPOLLOUT
            d.inPipe -= static_cast<std::size_t>(n);
            continue;
        }
        if (d.ended) {
            if (!d.shut && ::shutdown(dst, SHUT_WR) != 0) return false;
            d.shut = true;
            return true;
        }
        // Filled only when empty: EAGAIN then means src has nothing, never that the pipe is full.
        const ssize_t n = ::splice(src, nullptr, d.pipeWrite.get(), nullptr, 1 << 20, kSpliceFlags);
        if (n < 0) return errno == EAGAIN;
        if (n == 0) d.ended = true;
        d.inPipe = static_cast<std::size_t>(n);
    }
}

enum class Stage { Connecting, Answer, Relaying };

struct Flow {
    Fd client, proxy;
    Stage stage = Stage::Connecting;
    std::string buffer;  // the CONNECT request not yet sent, then the answer read so far
    Direction up, down;  // up: client -> proxy; down: proxy -> client
    std::size_t slot = 0;
    bool dead = false;
};

class Worker {
public:
    Worker(std::uint16_t port, const sockaddr_in& proxy) : proxy_(proxy) {
        epoll_ = Fd(::epoll_create1(EPOLL_CLOEXEC));
        listener_ = Fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (!epoll_ || !listener_) die("floor-relay: socket");
        const int on = 1;
        // One listener per thread: the kernel spreads the connections, no thread hands one to another.
        ::setsockopt(listener_.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (::setsockopt(listener_.get(), SOL_SOCKET, SO_REUSEPORT, &on, sizeof on) != 0) die("floor-relay: SO_REUSEPORT");
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(port);
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(listener_.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) die("floor-relay: bind");
        if (::listen(listener_.get(), 4096) != 0) die("floor-relay: listen");
        if (!watch(listener_.get(), 0)) die("floor-relay: epoll_ctl");
    }

    [[noreturn]] void run() {
        epoll_event events[256];
        for (;;) {
            const int n = ::epoll_wait(epoll_.get(), events, 256, -1);
            if (n < 0 && errno != EINTR) die("floor-relay: epoll_wait");
            for (int i = 0; i < n; ++i) {
                const std::uint64_t tag = events[i].data.u64;
                if (tag == 0) {
                    accept();
                    continue;
                }
                // A flow closed earlier in this batch may still have events in it: it lives until the end.
                Flow& flow = *reinterpret_cast<Flow*>(tag & ~std::uint64_t{1});
                if (!flow.dead) onEvent(flow, (tag & 1) != 0, events[i].events);
            }
            dead_.clear();
        }
    }

private:
    // Each descriptor is registered once for everything, edge-triggered: no epoll_ctl per change of mind.
    bool watch(int fd, std::uint64_t tag) {
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLOUT | EPOLLET;
        ev.data.u64 = tag;
        return ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &ev) == 0;
    }

    void accept() {
        for (;;) {
            Fd client(::accept4(listener_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
            if (client) {
                open(std::move(client));
                continue;
            }
            // Out of descriptors or memory: the next connection to arrive brings a new edge, and a retry.
            if (errno == EAGAIN || errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) return;
        }
    }

    void open(Fd client) {
        sockaddr_in dst{};
        socklen_t length = sizeof dst;
        if (::getsockopt(client.get(), SOL_IP, SO_ORIGINAL_DST, &dst, &length) != 0) return;  // not redirected
        Fd proxy(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (!proxy) return;
        if (::connect(proxy.get(), reinterpret_cast<const sockaddr*>(&proxy_), sizeof proxy_) != 0 && errno != EINPROGRESS)
            return;
        char ip[INET_ADDRSTRLEN];
        ::inet_ntop(AF_INET, &dst.sin_addr, ip, sizeof ip);
        const std::string target = std::string(ip) + ':' + std::to_string(ntohs(dst.sin_port));

        auto owned = std::make_unique<Flow>();
        Flow& flow = *owned;
        flow.buffer = "CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n\r\n";
        flow.client = std::move(client);
        flow.proxy = std::move(proxy);
        flow.slot = live_.size();
        live_.push_back(std::move(owned));
        const auto tag = reinterpret_cast<std::uint64_t>(&flow);
        if (!watch(flow.client.get(), tag) || !watch(flow.proxy.get(), tag | 1)) retire(flow);
    }

    void onEvent(Flow& flow, bool proxySide, std::uint32_t events) {
        const bool in = (events & (EPOLLIN | EPOLLERR | EPOLLHUP)) != 0;
        const bool out = (events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) != 0;
        bool ok = true;
        if (flow.stage == Stage::Relaying) {
            // This socket's readiness concerns the direction it feeds (in) and the one it drains (out).
            if (in) ok = proxySide ? pumpDown(flow) : pumpUp(flow);
            if (ok && out) ok = proxySide ? pumpUp(flow) : pumpDown(flow);
        } else if (!proxySide) {
            // Before the tunnel is up the client's bytes wait in its socket; only its going away matters.
            ok = (events & (EPOLLERR | EPOLLHUP)) == 0;
        } else if (flow.stage == Stage::Connecting) {
            ok = !out || sendRequest(flow);
        } else {
            ok = !in || readAnswer(flow);
        }
        if (!ok || (flow.up.shut && flow.down.shut)) retire(flow);
    }

    static bool pumpUp(Flow& flow) { return pump(flow.up, flow.client.get(), flow.proxy.get()); }
    static bool pumpDown(Flow& flow) { return pump(flow.down, flow.proxy.get(), flow.client.get()); }

    // The first EPOLLOUT says the connection is made, or failed: send() then reports which.
    static bool sendRequest(Flow& flow) {
        const ssize_t n = ::send(flow.proxy.get(), flow.buffer.data(), flow.buffer.size(), MSG_NOSIGNAL);
        if (n < 0) return errno == EAGAIN;
        flow.buffer.erase(0, static_cast<std::size_t>(n));
        // The proxy says nothing before it has the request: its answer brings an EPOLLIN edge of its own.
        if (flow.buffer.empty()) flow.stage = Stage::Answer;
        return true;
    }

    static bool readAnswer(Flow& flow) {
        std::size_t end;
        for (;;) {
            char chunk[1024];
            const ssize_t n = ::read(flow.proxy.get(), chunk, sizeof chunk);
            if (n < 0) return errno == EAGAIN;
            if (n == 0) return false;
            flow.buffer.append(chunk, static_cast<std::size_t>(n));
            end = flow.buffer.find("\r\n\r\n");
            if (end != std::string::npos) break;
            if (flow.buffer.size() > kMaxAnswer) return false;
        }
        // "HTTP/1.x 200" followed by a reason phrase or by the end of the line.
        const std::string_view answer(flow.buffer);
        if (!answer.starts_with("HTTP/1.") || (answer.substr(8, 5) != " 200 " && answer.substr(8, 5) != " 200\r"))
            return false;
        return startRelay(flow, answer.substr(end + 4));
    }

    static bool startRelay(Flow& flow, std::string_view early) {
        for (Direction* d : {&flow.up, &flow.down}) {
            int ends[2];
            if (::pipe2(ends, O_NONBLOCK | O_CLOEXEC) != 0) return false;
            d->pipeRead = Fd(ends[0]);
            d->pipeWrite = Fd(ends[1]);
        }
        // Bytes the proxy sent past its header take the same path to the client as all that follows.
        if (!early.empty() && ::write(flow.down.pipeWrite.get(), early.data(), early.size()) != static_cast<ssize_t>(early.size()))
            return false;
        flow.down.inPipe = early.size();
        flow.stage = Stage::Relaying;
        std::string().swap(flow.buffer);
        // Readiness seen while the tunnel was being set up was consumed then: look at both directions now.
        return pumpUp(flow) && pumpDown(flow);
    }

    // Closing waits for the end of the batch; closing a descriptor also takes it out of the epoll set.
    void retire(Flow& flow) {
        flow.dead = true;
        std::unique_ptr<Flow> owned = std::move(live_[flow.slot]);
        if (flow.slot + 1 != live_.size()) {
            live_[flow.slot] = std::move(live_.back());
            live_[flow.slot]->slot = flow.slot;
        }
        live_.pop_back();
        dead_.push_back(std::move(owned));
    }

    Fd epoll_, listener_;
    sockaddr_in proxy_;
    std::vector<std::unique_ptr<Flow>> live_, dead_;
};

[[noreturn]] void usage() {
    std::fputs("usage: floor-relay --listen PORT --proxy A.B.C.D:PORT [--threads N]\n", stderr);
    std::exit(2);
}

std::uint16_t portOf(std::string_view text) {
    const int port = std::atoi(std::string(text).c_str());
    if (port <= 0 || port > 65535) usage();
    return static_cast<std::uint16_t>(port);
}

}  // namespace

int main(int argc, char** argv) {
    int port = -1, threads = 2;
    sockaddr_in proxy{};
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string_view option = argv[i], value = argv[i + 1];
        if (option == "--listen") {
            port = portOf(value);
        } else if (option == "--threads") {
            threads = std::atoi(argv[i + 1]);
        } else if (option == "--proxy") {
            const auto colon = value.rfind(':');
            if (colon == std::string_view::npos) usage();
            proxy.sin_family = AF_INET;
            proxy.sin_port = htons(portOf(value.substr(colon + 1)));
            if (::inet_pton(AF_INET, std::string(value.substr(0, colon)).c_str(), &proxy.sin_addr) != 1) usage();
        } else {
            usage();
        }
    }
    if (argc % 2 != 1 || port < 0 || proxy.sin_family != AF_INET || threads < 1) usage();

    std::signal(SIGPIPE, SIG_IGN);
    rlimit files{};  // six descriptors a flow: take all the process may have
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
    // Every listener is bound before any thread runs, so a bad port fails at once.
    std::vector<std::unique_ptr<Worker>> workers;
    for (int i = 0; i < threads; ++i) workers.push_back(std::make_unique<Worker>(static_cast<std::uint16_t>(port), proxy));
    std::vector<std::thread> running;
    for (int i = 1; i < threads; ++i) running.emplace_back([&worker = *workers[i]] { worker.run(); });
    workers[0]->run();
}
