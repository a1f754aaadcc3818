#pragma once

#include "UniqueFd.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sentorix::testing {

// A Unix-socket listener that records, per accepted connection, every byte read until the peer closes.
// With `reads` false it accepts but never reads, like a stalled endpoint.
class UnixFrameServer {
public:
    explicit UnixFrameServer(std::string path, bool reads = true);
    ~UnixFrameServer();

    const std::string& path() const { return path_; }
    // Connections completed (peer closed), in accept order.
    std::vector<std::string> connections() const;
    bool waitForConnections(std::size_t count, std::chrono::milliseconds timeout) const;
    // The JSON payloads of single-frame connections.
    std::vector<std::string> payloads() const;
    // Waits until `done` holds for the payloads received so far; false on time-out.
    bool waitForPayloads(const std::function<bool(const std::vector<std::string>&)>& done,
                         std::chrono::milliseconds timeout) const;

private:
    void run();

    const std::string path_;
    const bool reads_;
    UniqueFd listener_;
    UniqueFd wakeRead_, wakeWrite_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<std::string> connections_;
    std::vector<UniqueFd> held_;
    std::thread thread_;
};

// A fresh directory under /tmp, removed with its contents at destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

}  // namespace sentorix::testing
