#pragma once

#include "Result.h"

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace sentorix::linux_system {

// What the kernel's process file system tells of processes, under a root of the caller's choosing
// (tests hand it a directory of their own). Each call reads afresh: caching is the caller's business.
class ProcFS {
public:
    explicit ProcFS(std::string root = "/proc");

    const std::string& root() const { return root_; }
    // The directory of process `pid`, or of `pid`'s `entry` ("exe", "ns/net").
    std::string path(int pid, const std::string& entry = "") const;

    // The processes there are now, in the order the kernel lists them.
    Result<std::vector<int>> pids() const;
    // The owner of the process's directory: its real user.
    Result<uid_t> ownerOf(int pid) const;
    // Alive and not a zombie waiting for a parent that never reaps.
    bool alive(int pid) const;
    // When it started, in clock ticks since boot: with the pid, what names one life of a process.
    Result<std::uint64_t> startTimeOf(int pid) const;

    struct Cgroups {
        std::string unified;  // the cgroup v2 path ("0::"), empty when there is none
        std::string systemd;  // the v1 name=systemd hierarchy's path, where one is mounted
    };
    Result<Cgroups> cgroupsOf(int pid) const;
    // The absolute path of its executable.
    Result<std::string> executableOf(int pid) const;
    // The inodes of the sockets among its descriptors.
    Result<std::vector<std::uint64_t>> socketInodesOf(int pid) const;
    // The BPF links among its descriptors, by the ids their fdinfo gives.
    Result<std::vector<unsigned>> bpfLinkIdsOf(int pid) const;

private:
    Result<std::string> read(int pid, const char* entry) const;

    std::string root_;
};

}  // namespace sentorix::linux_system
