#pragma once

#include "UniqueFd.h"

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>

namespace sentorix::linux_system {

// A directory that only root (or, for a user running it by hand, that user) can change, held open
// so that everything in it is reached relative to it and no link is ever followed. Whatever it
// creates gets an explicit mode (directories 0755, files 0644), whatever the umask.
class SecureDirectory {
public:
    static constexpr mode_t DirectoryMode = 0755;
    static constexpr mode_t FileMode = 0644;

    // Opens `path`, creating it (and missing parents) when `create` is set. `error` names the path.
    // A missing directory that is not to be created gives nullopt with `missing` set and no error.
    static std::optional<SecureDirectory> open(const std::string& path, bool create, std::string& error,
                                               bool* missing = nullptr);

    std::optional<SecureDirectory> openDirectory(const std::string& name, bool create, std::string& error,
                                                 bool* missing = nullptr) const;
    // `flags` are open(2)'s access and O_CREAT/O_APPEND/O_TRUNC; the file must be a regular file that
    // nobody else can write. A missing file that is not to be created sets `missing` and no error.
    UniqueFd openFile(const std::string& name, int flags, std::string& error, bool* missing = nullptr) const;
    // An unpredictable name beginning with `prefix`, for an entry made with O_EXCL or mkdirat.
    static std::optional<std::string> randomName(const std::string& prefix, std::string& error);
    // A new file with an unpredictable name beginning with `prefix`; its name is returned in `name`.
    UniqueFd createTemporary(const std::string& prefix, std::string& name, std::string& error) const;
    // Reads a whole file of at most `limit` bytes; an empty optional with `missing` set when absent.
    std::optional<std::string> readFile(const std::string& name, std::size_t limit, std::string& error,
                                        bool* missing = nullptr) const;

    // Replaces `name` whole with `content` through a temporary file: a reader sees the old file or the
    // new one, never a part, and a crash leaves at most a stray temporary. `durable` also syncs the
    // file and the directory, so the new one survives a power cut.
    bool replaceFile(const std::string& name, const std::string& content, bool durable, std::string& error) const;
    bool rename(const std::string& from, const std::string& to, std::string& error) const;
    bool exists(const std::string& name) const;
    void removeFile(const std::string& name) const;
    // Removes a file or a whole tree without following links.
    bool removeTree(const std::string& name, std::string& error) const;
    // Copies the tree at `source` (outside the directory) into the new entry `name`: directories 0755,
    // files 0755 when executable else 0644, links as links.
    bool copyTreeFrom(const std::string& source, const std::string& name, std::string& error) const;
    void sync() const;

    // Whether an opened file or directory may be trusted: owned by root or by us, writable by nobody
    // else. Gives the reason it may not, naming `path`, or an empty string.
    static std::string untrustedReason(int fd, const std::string& path);

    int fd() const { return fd_.get(); }
    const std::string& path() const { return path_; }
    std::string pathOf(const std::string& name) const { return path_ + "/" + name; }

private:
    SecureDirectory(UniqueFd fd, std::string path) : fd_(std::move(fd)), path_(std::move(path)) {}

    UniqueFd fd_;
    std::string path_;
};

}  // namespace sentorix::linux_system
