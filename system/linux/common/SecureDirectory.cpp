#include "SecureDirectory.h"

#include "WholeBuffer.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace sentorix::linux_system {

namespace {

std::string failure(const std::string& what, const std::string& path, int number) {
    if (number == ELOOP) {
        return "Refusing " + path + ": it is a symbolic link";
    }
    return "Cannot " + what + " " + path + ": " + std::strerror(number);
}

bool writeAll(int fd, const char* bytes, std::size_t length) { return WholeBuffer::write(fd, bytes, length) == length; }

// A directory entry opened without following a link.
UniqueFd openDirectoryAt(int parent, const char* name) {
    return UniqueFd(::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

std::vector<std::string> entriesOf(int directory) {
    std::vector<std::string> names;
    UniqueFd copy(::dup(directory));  // closedir closes what it was given
    DIR* stream = copy.valid() ? ::fdopendir(copy.get()) : nullptr;
    if (!stream) {
        return names;
    }
    copy.release();
    while (const dirent* entry = ::readdir(stream)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            names.emplace_back(entry->d_name);
        }
    }
    ::closedir(stream);
    return names;
}

bool removeAt(int parent, const std::string& name) {
    struct stat info {};
    if (::fstatat(parent, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno == ENOENT;
    }
    if (!S_ISDIR(info.st_mode)) {
        return ::unlinkat(parent, name.c_str(), 0) == 0 || errno == ENOENT;
    }
    const UniqueFd directory = openDirectoryAt(parent, name.c_str());
    if (!directory.valid()) {
        return false;
    }
    for (const auto& entry : entriesOf(directory.get())) {
        if (!removeAt(directory.get(), entry)) {
            return false;
        }
    }
    return ::unlinkat(parent, name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT;
}

bool copyFileAt(int source, int target, const std::string& name, mode_t mode) {
    const UniqueFd in(::openat(source, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    const UniqueFd out(::openat(target, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (!in.valid() || !out.valid() || ::fchmod(out.get(), mode) != 0) {
        return false;
    }
    std::vector<char> buffer(64 * 1024);
    for (;;) {
        const ssize_t got = WholeBuffer::read(in.get(), buffer.data(), buffer.size());
        if (got < 0) {
            return false;
        }
        if (got == 0) {
            return ::fsync(out.get()) == 0;
        }
        if (!writeAll(out.get(), buffer.data(), static_cast<std::size_t>(got))) {
            return false;
        }
    }
}

bool copyTreeAt(int source, int target) {
    for (const auto& name : entriesOf(source)) {
        struct stat info {};
        if (::fstatat(source, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            return false;
        }
        if (S_ISDIR(info.st_mode)) {
            if (::mkdirat(target, name.c_str(), SecureDirectory::DirectoryMode) != 0) {
                return false;
            }
            const UniqueFd from = openDirectoryAt(source, name.c_str());
            const UniqueFd to = openDirectoryAt(target, name.c_str());
            if (!from.valid() || !to.valid() || ::fchmod(to.get(), SecureDirectory::DirectoryMode) != 0 ||
                !copyTreeAt(from.get(), to.get())) {
                return false;
            }
        } else if (S_ISLNK(info.st_mode)) {
            std::vector<char> link(static_cast<std::size_t>(info.st_size) + 1);
            const ssize_t length = ::readlinkat(source, name.c_str(), link.data(), link.size());
            if (length < 0 || static_cast<std::size_t>(length) >= link.size()) {
                return false;
            }
            link[static_cast<std::size_t>(length)] = '\0';
            if (::symlinkat(link.data(), target, name.c_str()) != 0) {
                return false;
            }
        } else if (S_ISREG(info.st_mode)) {
            const mode_t mode = (info.st_mode & S_IXUSR) ? 0755 : SecureDirectory::FileMode;
            if (!copyFileAt(source, target, name, mode)) {
                return false;
            }
        }
    }
    return true;
}

}  // namespace

std::string SecureDirectory::untrustedReason(int fd, const std::string& path) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        return failure("inspect", path, errno);
    }
    if (info.st_uid != 0 && info.st_uid != ::geteuid()) {
        return "Refusing " + path + ": it is owned by uid " + std::to_string(info.st_uid) + ", not by root";
    }
    if (info.st_mode & (S_IWGRP | S_IWOTH)) {
        return "Refusing " + path + ": it is writable by group or others";
    }
    return {};
}

std::optional<SecureDirectory> SecureDirectory::open(const std::string& path, bool create, std::string& error,
                                                     bool* missing) {
    if (missing) {
        *missing = false;
    }
    if (path.empty()) {
        error = "The state directory is not set";
        return std::nullopt;
    }
    if (create) {
        // Parents first; each one made here gets its mode whatever the umask.
        for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
            const std::string prefix = path.substr(0, slash);
            if (::mkdir(prefix.c_str(), DirectoryMode) == 0) {
                ::chmod(prefix.c_str(), DirectoryMode);
            }
            if (slash == std::string::npos) {
                break;
            }
        }
    }
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid()) {
        if (errno == ENOENT && !create && missing) {
            *missing = true;
            return std::nullopt;
        }
        error = errno == ENOTDIR ? "Refusing " + path + ": it is not a directory" : failure("open", path, errno);
        return std::nullopt;
    }
    if (error = untrustedReason(fd.get(), path); !error.empty()) {
        return std::nullopt;
    }
    return SecureDirectory(std::move(fd), path);
}

std::optional<SecureDirectory> SecureDirectory::openDirectory(const std::string& name, bool create, std::string& error,
                                                              bool* missing) const {
    if (missing) {
        *missing = false;
    }
    const std::string path = pathOf(name);
    const bool made = create && ::mkdirat(fd_.get(), name.c_str(), DirectoryMode) == 0;
    UniqueFd fd = openDirectoryAt(fd_.get(), name.c_str());
    if (!fd.valid()) {
        if (errno == ENOENT && missing) {
            *missing = true;
            return std::nullopt;
        }
        error = errno == ENOTDIR ? "Refusing " + path + ": it is not a directory" : failure("open", path, errno);
        return std::nullopt;
    }
    if (made) {
        ::fchmod(fd.get(), DirectoryMode);
    }
    if (error = untrustedReason(fd.get(), path); !error.empty()) {
        return std::nullopt;
    }
    return SecureDirectory(std::move(fd), path);
}

UniqueFd SecureDirectory::openFile(const std::string& name, int flags, std::string& error, bool* missing) const {
    if (missing) {
        *missing = false;
    }
    const std::string path = pathOf(name);
    const int base = (flags & ~O_CREAT) | O_NOFOLLOW | O_CLOEXEC;
    if (flags & O_CREAT) {
        UniqueFd made(::openat(fd_.get(), name.c_str(), base | O_CREAT | O_EXCL, FileMode));
        if (made.valid()) {
            ::fchmod(made.get(), FileMode);
            return made;
        }
        if (errno != EEXIST) {
            error = failure("create", path, errno);
            return {};
        }
    }
    UniqueFd fd(::openat(fd_.get(), name.c_str(), base));
    if (!fd.valid()) {
        if (errno == ENOENT && missing) {
            *missing = true;
        } else {
            error = failure("open", path, errno);
        }
        return {};
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        error = "Refusing " + path + ": it is not a regular file";
        return {};
    }
    if (error = untrustedReason(fd.get(), path); !error.empty()) {
        return {};
    }
    return fd;
}

std::optional<std::string> SecureDirectory::randomName(const std::string& prefix, std::string& error) {
    unsigned char random[8];
    if (::getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
        error = std::string("Cannot make a random name: ") + std::strerror(errno);
        return std::nullopt;
    }
    static constexpr char Hex[] = "0123456789abcdef";
    std::string name = prefix;
    for (const unsigned char byte : random) {
        name += Hex[byte >> 4];
        name += Hex[byte & 15];
    }
    return name;
}

UniqueFd SecureDirectory::createTemporary(const std::string& prefix, std::string& name, std::string& error) const {
    for (int attempt = 0; attempt < 8; ++attempt) {
        const auto candidate = randomName(prefix, error);
        if (!candidate) {
            return {};
        }
        name = *candidate;
        UniqueFd fd(::openat(fd_.get(), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, FileMode));
        if (fd.valid()) {
            ::fchmod(fd.get(), FileMode);
            return fd;
        }
        if (errno != EEXIST) {
            error = failure("create", pathOf(name), errno);
            return {};
        }
    }
    error = "Cannot create a temporary file in " + path_;
    return {};
}

std::optional<std::string> SecureDirectory::readFile(const std::string& name, std::size_t limit, std::string& error,
                                                     bool* missing) const {
    const UniqueFd fd = openFile(name, O_RDONLY, error, missing);
    if (!fd.valid()) {
        return std::nullopt;
    }
    auto content = WholeBuffer::readToEnd(fd.get(), limit);
    if (!content) {
        error = failure("read", pathOf(name), static_cast<int>(content.error().code()));
        return std::nullopt;
    }
    return std::move(*content);
}

bool SecureDirectory::replaceFile(const std::string& name, const std::string& content, bool durable,
                                  std::string& error) const {
    std::string temporary;
    UniqueFd file = createTemporary("." + name + ".", temporary, error);
    if (!file.valid()) {
        return false;
    }
    if (!writeAll(file.get(), content.data(), content.size()) || (durable && ::fsync(file.get()) != 0)) {
        error = failure("write", pathOf(name), errno);
        removeFile(temporary);
        return false;
    }
    file.reset();
    if (!rename(temporary, name, error)) {
        removeFile(temporary);
        return false;
    }
    if (durable) {
        sync();
    }
    return true;
}

bool SecureDirectory::rename(const std::string& from, const std::string& to, std::string& error) const {
    if (::renameat(fd_.get(), from.c_str(), fd_.get(), to.c_str()) != 0) {
        error = "Cannot rename " + pathOf(from) + " to " + to + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool SecureDirectory::exists(const std::string& name) const {
    struct stat info {};
    return ::fstatat(fd_.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
}

void SecureDirectory::removeFile(const std::string& name) const { ::unlinkat(fd_.get(), name.c_str(), 0); }

bool SecureDirectory::removeTree(const std::string& name, std::string& error) const {
    if (!removeAt(fd_.get(), name)) {
        error = failure("remove", pathOf(name), errno);
        return false;
    }
    return true;
}

bool SecureDirectory::copyTreeFrom(const std::string& source, const std::string& name, std::string& error) const {
    const UniqueFd from(::open(source.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!from.valid()) {
        error = failure("open", source, errno);
        return false;
    }
    if (::mkdirat(fd_.get(), name.c_str(), DirectoryMode) != 0) {
        error = failure("create", pathOf(name), errno);
        return false;
    }
    const UniqueFd to = openDirectoryAt(fd_.get(), name.c_str());
    if (!to.valid() || ::fchmod(to.get(), DirectoryMode) != 0 || !copyTreeAt(from.get(), to.get())) {
        error = failure("copy " + source + " to", pathOf(name), errno);
        return false;
    }
    return true;
}

void SecureDirectory::sync() const { ::fsync(fd_.get()); }

}  // namespace sentorix::linux_system
