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

// What failed, on which path, with errno's code: "Cannot open /var/lib/sentorix: Permission denied".
NSError failed(const std::string& what, const std::string& path, int number) {
    if (number == ELOOP) {
        return failure(number, "Refusing " + path + ": it is a symbolic link");
    }
    return failure(number, "Cannot " + what + " " + path + ": " + std::strerror(number));
}

NSError notADirectory(const std::string& path) { return failure(ENOTDIR, "Refusing " + path + ": it is not a directory"); }

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

Result<void> SecureDirectory::trusted(int fd, const std::string& path) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        return failed("inspect", path, errno);
    }
    if (info.st_uid != 0 && info.st_uid != ::geteuid()) {
        return failure(EPERM, "Refusing " + path + ": it is owned by uid " + std::to_string(info.st_uid) + ", not by root");
    }
    if (info.st_mode & (S_IWGRP | S_IWOTH)) {
        return failure(EPERM, "Refusing " + path + ": it is writable by group or others");
    }
    return {};
}

Result<SecureDirectory> SecureDirectory::open(const std::string& path, bool create) {
    if (path.empty()) {
        return failure(EINVAL, "The state directory is not set");
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
        return errno == ENOTDIR ? notADirectory(path) : failed("open", path, errno);
    }
    if (auto trust = trusted(fd.get(), path); !trust) {
        return trust.error();
    }
    return SecureDirectory(std::move(fd), path);
}

Result<SecureDirectory> SecureDirectory::openDirectory(const std::string& name, bool create) const {
    const std::string path = pathOf(name);
    const bool made = create && ::mkdirat(fd_.get(), name.c_str(), DirectoryMode) == 0;
    UniqueFd fd = openDirectoryAt(fd_.get(), name.c_str());
    if (!fd.valid()) {
        return errno == ENOTDIR ? notADirectory(path) : failed("open", path, errno);
    }
    if (made) {
        ::fchmod(fd.get(), DirectoryMode);
    }
    if (auto trust = trusted(fd.get(), path); !trust) {
        return trust.error();
    }
    return SecureDirectory(std::move(fd), path);
}

Result<UniqueFd> SecureDirectory::openFile(const std::string& name, int flags) const {
    const std::string path = pathOf(name);
    const int base = (flags & ~O_CREAT) | O_NOFOLLOW | O_CLOEXEC;
    if (flags & O_CREAT) {
        UniqueFd made(::openat(fd_.get(), name.c_str(), base | O_CREAT | O_EXCL, FileMode));
        if (made.valid()) {
            ::fchmod(made.get(), FileMode);
            return made;
        }
        if (errno != EEXIST) {
            return failed("create", path, errno);
        }
    }
    UniqueFd fd(::openat(fd_.get(), name.c_str(), base));
    if (!fd.valid()) {
        return failed("open", path, errno);
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return failure(EPERM, "Refusing " + path + ": it is not a regular file");
    }
    if (auto trust = trusted(fd.get(), path); !trust) {
        return trust.error();
    }
    return fd;
}

Result<std::string> SecureDirectory::randomName(const std::string& prefix) {
    unsigned char random[8];
    if (::getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
        const int number = errno;
        return failure(number, std::string("Cannot make a random name: ") + std::strerror(number));
    }
    static constexpr char Hex[] = "0123456789abcdef";
    std::string name = prefix;
    for (const unsigned char byte : random) {
        name += Hex[byte >> 4];
        name += Hex[byte & 15];
    }
    return name;
}

Result<SecureDirectory::Temporary> SecureDirectory::createTemporary(const std::string& prefix) const {
    for (int attempt = 0; attempt < 8; ++attempt) {
        auto name = randomName(prefix);
        if (!name) {
            return name.error();
        }
        UniqueFd fd(::openat(fd_.get(), name->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, FileMode));
        if (fd.valid()) {
            ::fchmod(fd.get(), FileMode);
            return Temporary{std::move(fd), std::move(*name)};
        }
        if (errno != EEXIST) {
            return failed("create", pathOf(*name), errno);
        }
    }
    return failure(EEXIST, "Cannot create a temporary file in " + path_);
}

Result<std::string> SecureDirectory::readFile(const std::string& name, std::size_t limit) const {
    const auto fd = openFile(name, O_RDONLY);
    if (!fd) {
        return fd.error();
    }
    auto content = WholeBuffer::readToEnd(fd->get(), limit);
    if (!content) {
        return failed("read", pathOf(name), static_cast<int>(content.error().code()));
    }
    return content;
}

Result<void> SecureDirectory::replaceFile(const std::string& name, const std::string& content, bool durable) const {
    auto temporary = createTemporary("." + name + ".");
    if (!temporary) {
        return temporary.error();
    }
    if (!writeAll(temporary->file.get(), content.data(), content.size()) ||
        (durable && ::fsync(temporary->file.get()) != 0)) {
        const NSError error = failed("write", pathOf(name), errno);
        removeFile(temporary->name);
        return error;
    }
    temporary->file.reset();
    if (auto renamed = rename(temporary->name, name); !renamed) {
        removeFile(temporary->name);
        return renamed;
    }
    if (durable) {
        sync();
    }
    return {};
}

Result<void> SecureDirectory::rename(const std::string& from, const std::string& to) const {
    if (::renameat(fd_.get(), from.c_str(), fd_.get(), to.c_str()) != 0) {
        const int number = errno;
        return failure(number, "Cannot rename " + pathOf(from) + " to " + to + ": " + std::strerror(number));
    }
    return {};
}

bool SecureDirectory::exists(const std::string& name) const {
    struct stat info {};
    return ::fstatat(fd_.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
}

void SecureDirectory::removeFile(const std::string& name) const { ::unlinkat(fd_.get(), name.c_str(), 0); }

Result<void> SecureDirectory::removeTree(const std::string& name) const {
    if (!removeAt(fd_.get(), name)) {
        return failed("remove", pathOf(name), errno);
    }
    return {};
}

Result<void> SecureDirectory::copyTreeFrom(const std::string& source, const std::string& name) const {
    const UniqueFd from(::open(source.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!from.valid()) {
        return failed("open", source, errno);
    }
    if (::mkdirat(fd_.get(), name.c_str(), DirectoryMode) != 0) {
        return failed("create", pathOf(name), errno);
    }
    const UniqueFd to = openDirectoryAt(fd_.get(), name.c_str());
    if (!to.valid() || ::fchmod(to.get(), DirectoryMode) != 0 || !copyTreeAt(from.get(), to.get())) {
        return failed("copy " + source + " to", pathOf(name), errno);
    }
    return {};
}

void SecureDirectory::sync() const { ::fsync(fd_.get()); }

}  // namespace sentorix::linux_system
