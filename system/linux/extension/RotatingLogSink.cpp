#include "RotatingLogSink.h"

#include "WholeBuffer.h"

#include "StderrLogSink.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace sentorix::linux_system {

RotatingLogSink::RotatingLogSink(std::shared_ptr<const SecureDirectory> directory, std::string name,
                                 std::string olderName, std::vector<int> descriptors, std::uint64_t limit)
    : directory_(std::move(directory)),
      name_(std::move(name)),
      olderName_(std::move(olderName)),
      descriptors_(std::move(descriptors)),
      limit_(limit) {
    struct stat info {};
    if (!descriptors_.empty() && ::fstat(descriptors_.front(), &info) == 0) {
        size_ = static_cast<std::uint64_t>(info.st_size);
    }
}

bool RotatingLogSink::writesTo(const SecureDirectory& directory, const std::string& name, int descriptor) {
    struct stat open {}, file {};
    return ::fstat(descriptor, &open) == 0 && S_ISREG(open.st_mode) &&
           ::fstatat(directory.fd(), name.c_str(), &file, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(file.st_mode) &&
           open.st_dev == file.st_dev && open.st_ino == file.st_ino;
}

void RotatingLogSink::write(const LogEntry& entry) {
    if (descriptors_.empty()) {
        return;
    }
    const std::string line = StderrLogSink::format(entry);
    // One write(2) of a whole line to a file open for appending lands whole whoever else writes, so lines
    // from the flow threads take no lock (only a short write, on a full disk, may be split); only the
    // thread that crosses the limit rotates.
    // A full disk loses log lines, never the extension.
    const std::uint64_t written = WholeBuffer::write(descriptors_.front(), line.data(), line.size());
    if (size_.fetch_add(written) + written >= limit_) {
        std::unique_lock rotating(rotation_, std::try_to_lock);
        if (rotating && size_.load() >= limit_) {
            rotate();
        }
    }
}

void RotatingLogSink::rotate() {
    if (!directory_->rename(name_, olderName_)) {
        size_ = 0;  // try again after another limit's worth rather than on every line
        return;
    }
    const auto fresh = directory_->openFile(name_, O_WRONLY | O_CREAT | O_APPEND);
    if (!fresh) {
        size_ = 0;
        return;
    }
    for (const int descriptor : descriptors_) {
        ::dup2(fresh->get(), descriptor);
    }
    size_ = 0;
}

}  // namespace sentorix::linux_system
