#pragma once

#include "Result.h"
#include "UniqueFd.h"

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace sentorix::linux_system {

// A directory that only root (or, for a user running it by hand, that user) can change, held open
// so that everything in it is reached relative to it and no link is ever followed. Whatever it
// creates gets an explicit mode (directories 0755, files 0644), whatever the umask.
class SecureDirectory {
public:
    static constexpr mode_t DirectoryMode = 0755;
    static constexpr mode_t FileMode = 0644;

    // Opens `path`, creating it (and missing parents) when `create` is set. The error names the path;
    // a directory that is not there is missing().
    static Result<SecureDirectory> open(const std::string& path, bool create);

    Result<SecureDirectory> openDirectory(const std::string& name, bool create) const;
    // `flags` are open(2)'s access and O_CREAT/O_APPEND/O_TRUNC; the file must be a regular file that
    // nobody else can write. A file that is not there, and is not to be created, is missing().
    Result<UniqueFd> openFile(const std::string& name, int flags) const;
    // An unpredictable name beginning with `prefix`, for an entry made with O_EXCL or mkdirat.
    static Result<std::string> randomName(const std::string& prefix);
    struct Temporary {
        UniqueFd file;
        std::string name;
    };
    // A new file with an unpredictable name beginning with `prefix`.
    Result<Temporary> createTemporary(const std::string& prefix) const;
    // Reads a whole file of at most `limit` bytes.
    Result<std::string> readFile(const std::string& name, std::size_t limit) const;

    // Replaces `name` whole with `content` through a temporary file: a reader sees the old file or the
    // new one, never a part, and a crash leaves at most a stray temporary. `durable` also syncs the
    // file and the directory, so the new one survives a power cut.
    Result<void> replaceFile(const std::string& name, const std::string& content, bool durable) const;
    Result<void> rename(const std::string& from, const std::string& to) const;
    bool exists(const std::string& name) const;
    // Best effort: what it removes was a leftover, and its absence is what counts.
    void removeFile(const std::string& name) const;
    // Removes a file or a whole tree without following links.
    Result<void> removeTree(const std::string& name) const;
    // Copies the tree at `source` (outside the directory) into the new entry `name`: directories 0755,
    // files 0755 when executable else 0644, links as links.
    Result<void> copyTreeFrom(const std::string& source, const std::string& name) const;
    void sync() const;

    // Whether an opened file or directory may be trusted: owned by root or by us, writable by nobody
    // else. The error says why not, naming `path`.
    static Result<void> trusted(int fd, const std::string& path);

    int fd() const { return fd_.get(); }
    const std::string& path() const { return path_; }
    std::string pathOf(const std::string& name) const { return path_ + "/" + name; }

private:
    SecureDirectory(UniqueFd fd, std::string path) : fd_(std::move(fd)), path_(std::move(path)) {}

    UniqueFd fd_;
    std::string path_;
};

}  // namespace sentorix::linux_system
