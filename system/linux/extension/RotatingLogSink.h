#pragma once

#include "SecureDirectory.h"
#include "LogSink.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sentorix::linux_system {

// Log lines to a file of a state directory that is already open on `descriptors` (standard error
// and output, say). Past `limit` bytes the file becomes `olderName` (replacing the one before) and a
// new one takes its place on every descriptor, so a flood of events keeps at most two files.
class RotatingLogSink : public LogSink {
public:
    static constexpr std::uint64_t Limit = 10 * 1024 * 1024;

    RotatingLogSink(std::shared_ptr<const SecureDirectory> directory, std::string name, std::string olderName,
                    std::vector<int> descriptors, std::uint64_t limit = Limit);

    // Whether `descriptor` writes to the file `name` of `directory`, so rotating it is ours to do.
    static bool writesTo(const SecureDirectory& directory, const std::string& name, int descriptor);

    void write(const LogEntry& entry) override;

private:
    void rotate();

    const std::shared_ptr<const SecureDirectory> directory_;
    const std::string name_;
    const std::string olderName_;
    const std::vector<int> descriptors_;
    const std::uint64_t limit_;
    std::mutex rotation_;  // held only while the file is replaced
    std::atomic<std::uint64_t> size_{0};
};

}  // namespace sentorix::linux_system
