#include "ProcFS.h"

#include "UniqueFd.h"
#include "WholeBuffer.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>

namespace sentorix::linux_system {

namespace {

using Listing = std::unique_ptr<DIR, int (*)(DIR*)>;

bool numeric(const char* name) {
    return *name && std::all_of(name, name + std::strlen(name), [](char c) { return c >= '0' && c <= '9'; });
}

Result<Listing> list(const std::string& directory) {
    Listing listing(::opendir(directory.c_str()), &::closedir);
    if (!listing) {
        return failure(errno, "Cannot list " + directory + ": " + std::strerror(errno));
    }
    return listing;
}

// What the kernel's files under /proc never exceed; a cgroup file with every v1 hierarchy stays far below.
constexpr std::size_t SmallFileLimit = 64 * 1024;

}  // namespace

ProcFS::ProcFS(std::string root) : root_(std::move(root)) {}

std::string ProcFS::path(int pid, const std::string& entry) const {
    std::string path = root_ + "/" + std::to_string(pid);
    return entry.empty() ? path : path + "/" + entry;
}

Result<std::string> ProcFS::read(int pid, const char* entry) const {
    const std::string file = path(pid, entry);
    const UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        return failure(errno, "Cannot open " + file + ": " + std::strerror(errno));
    }
    return WholeBuffer::readToEnd(fd.get(), SmallFileLimit);
}

Result<std::vector<int>> ProcFS::pids() const {
    auto listing = list(root_);
    if (!listing) {
        return listing.error();
    }
    std::vector<int> pids;
    while (const dirent* entry = ::readdir(listing->get())) {
        if (numeric(entry->d_name)) {
            pids.push_back(std::atoi(entry->d_name));
        }
    }
    return pids;
}

Result<uid_t> ProcFS::ownerOf(int pid) const {
    struct stat info {};
    if (::stat(path(pid).c_str(), &info) != 0) {
        return failure(errno, "Cannot read the owner of process " + std::to_string(pid) + ": " + std::strerror(errno));
    }
    return info.st_uid;
}

bool ProcFS::alive(int pid) const {
    if (pid <= 0) {
        return false;
    }
    const auto stat = read(pid, "stat");
    if (!stat) {
        return false;
    }
    const auto close = stat->rfind(')');
    return close != std::string::npos && close + 2 < stat->size() && (*stat)[close + 2] != 'Z';
}

Result<std::uint64_t> ProcFS::startTimeOf(int pid) const {
    const auto stat = read(pid, "stat");
    if (!stat) {
        return stat.error();
    }
    // The command name in parentheses may hold anything, spaces and ')' too: the fields follow its last ')'.
    if (const auto close = stat->rfind(')'); close != std::string::npos && close + 2 <= stat->size()) {
        std::istringstream fields(stat->substr(close + 2));
        std::string field;
        for (int index = 3; index <= 22 && fields >> field; ++index) {
            if (index == 22) {
                return std::strtoull(field.c_str(), nullptr, 10);
            }
        }
    }
    return failure(EPROTO, "No start time in " + path(pid, "stat"));
}

Result<ProcFS::Cgroups> ProcFS::cgroupsOf(int pid) const {
    const auto content = read(pid, "cgroup");
    if (!content) {
        return content.error();
    }
    Cgroups cgroups;
    std::istringstream lines(*content);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.starts_with("0::")) {
            cgroups.unified = line.substr(3);
        } else if (const auto named = line.find(":name=systemd:"); named != std::string::npos) {
            cgroups.systemd = line.substr(named + 14);
        }
    }
    return cgroups;
}

Result<std::string> ProcFS::executableOf(int pid) const {
    char exe[4096];
    const std::string link = path(pid, "exe");
    const ssize_t length = ::readlink(link.c_str(), exe, sizeof exe - 1);
    if (length <= 0) {
        return failure(length < 0 ? errno : ENOENT, "Cannot read " + link + ": " + std::strerror(errno));
    }
    return std::string(exe, std::size_t(length));
}

Result<std::vector<std::uint64_t>> ProcFS::socketInodesOf(int pid) const {
    auto listing = list(path(pid, "fd"));
    if (!listing) {
        return listing.error();
    }
    std::vector<std::uint64_t> inodes;
    char target[64];
    while (const dirent* entry = ::readdir(listing->get())) {
        if (!numeric(entry->d_name)) {
            continue;
        }
        const ssize_t length = ::readlinkat(::dirfd(listing->get()), entry->d_name, target, sizeof target - 1);
        if (length > 9 && std::strncmp(target, "socket:[", 8) == 0) {
            target[length] = '\0';
            inodes.push_back(std::strtoull(target + 8, nullptr, 10));
        }
    }
    return inodes;
}

Result<std::vector<unsigned>> ProcFS::bpfLinkIdsOf(int pid) const {
    auto listing = list(path(pid, "fdinfo"));
    if (!listing) {
        return listing.error();
    }
    std::vector<unsigned> ids;
    while (const dirent* entry = ::readdir(listing->get())) {
        if (!numeric(entry->d_name)) {
            continue;
        }
        const auto info = read(pid, ("fdinfo/" + std::string(entry->d_name)).c_str());
        if (!info) {
            continue;  // closed since it was listed
        }
        std::istringstream lines(*info);
        std::string line;
        while (std::getline(lines, line)) {
            if (line.starts_with("link_id:")) {
                ids.push_back(static_cast<unsigned>(std::strtoul(line.c_str() + 8, nullptr, 10)));
                break;
            }
        }
    }
    return ids;
}

}  // namespace sentorix::linux_system
