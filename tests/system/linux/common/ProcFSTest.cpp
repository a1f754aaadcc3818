#include "ProcFS.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace sentorix {
namespace {

using linux_system::ProcFS;
namespace fs = std::filesystem;

// A /proc of the test's own, written as the kernel writes its files.
class FakeProcRoot {
public:
    FakeProcRoot() : root_(fs::temp_directory_path() / ("sentorix-procfs-" + std::to_string(::getpid()))) {
        fs::remove_all(root_);
        fs::create_directories(root_ / "self");
        fs::create_directories(root_ / "sys");
    }
    ~FakeProcRoot() { fs::remove_all(root_); }

    fs::path process(int pid) {
        const fs::path dir = root_ / std::to_string(pid);
        fs::create_directories(dir / "fd");
        fs::create_directories(dir / "fdinfo");
        return dir;
    }
    // A command name may hold spaces and parentheses; the fields are counted after its last ')'.
    void stat(int pid, const std::string& command, char state, std::uint64_t startTime) {
        std::ofstream(process(pid) / "stat") << pid << " (" << command << ") " << state
                                             << " 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 " << startTime
                                             << " 99 100\n";
    }
    std::string root() const { return root_.string(); }

private:
    fs::path root_;
};

TEST(ProcFSTest, ProcessesTheirLivesAndTheirZombies) {
    FakeProcRoot fake;
    fake.stat(100, "odd) name (x", 'S', 4242);
    fake.stat(101, "gone", 'Z', 7);
    const ProcFS proc(fake.root());

    auto pids = proc.pids();
    ASSERT_TRUE(pids.ok());
    std::sort(pids->begin(), pids->end());
    EXPECT_EQ(*pids, (std::vector<int>{100, 101})) << "only the numbered entries are processes";

    ASSERT_TRUE(proc.startTimeOf(100).ok());
    EXPECT_EQ(*proc.startTimeOf(100), 4242u);
    EXPECT_TRUE(proc.alive(100));
    EXPECT_FALSE(proc.alive(101)) << "a zombie";
    EXPECT_FALSE(proc.alive(102)) << "no such process";
    EXPECT_FALSE(proc.alive(0));
    EXPECT_TRUE(proc.startTimeOf(102).missing());

    std::ofstream(fake.process(103) / "stat") << "103 (short) S 1 2\n";
    EXPECT_FALSE(proc.startTimeOf(103).ok()) << "a line cut short";
    EXPECT_FALSE(proc.startTimeOf(103).missing());

    EXPECT_TRUE(ProcFS("/nonexistent-proc").pids().missing());
}

TEST(ProcFSTest, CgroupsExecutableAndDescriptors) {
    FakeProcRoot fake;
    const fs::path dir = fake.process(200);
    std::ofstream(dir / "cgroup") << "12:memory:/\n1:name=systemd:/user.slice/session-2.scope\n"
                                  << "0::/user.slice/app-gnome-org.example.Browser-42.scope\n";
    fs::create_symlink("/usr/bin/browser", dir / "exe");
    fs::create_symlink("socket:[1234]", dir / "fd" / "3");
    fs::create_symlink("pipe:[99]", dir / "fd" / "4");
    fs::create_symlink("socket:[5678]", dir / "fd" / "7");
    fs::create_symlink("/dev/null", dir / "fd" / "0");
    std::ofstream(dir / "fdinfo" / "3") << "pos:\t0\nflags:\t02\n";
    std::ofstream(dir / "fdinfo" / "8") << "pos:\t0\nlink_type:\tcgroup\nlink_id:\t17\nprog_tag:\tab\n";
    std::ofstream(dir / "fdinfo" / "9") << "link_id:\t18\n";
    const ProcFS proc(fake.root());

    const auto cgroups = proc.cgroupsOf(200);
    ASSERT_TRUE(cgroups.ok());
    EXPECT_EQ(cgroups->unified, "/user.slice/app-gnome-org.example.Browser-42.scope");
    EXPECT_EQ(cgroups->systemd, "/user.slice/session-2.scope");
    EXPECT_EQ(*proc.executableOf(200), "/usr/bin/browser");

    auto inodes = proc.socketInodesOf(200);
    ASSERT_TRUE(inodes.ok());
    std::sort(inodes->begin(), inodes->end());
    EXPECT_EQ(*inodes, (std::vector<std::uint64_t>{1234, 5678})) << "sockets only";

    auto links = proc.bpfLinkIdsOf(200);
    ASSERT_TRUE(links.ok());
    std::sort(links->begin(), links->end());
    EXPECT_EQ(*links, (std::vector<unsigned>{17, 18}));

    EXPECT_TRUE(proc.cgroupsOf(201).missing());
    EXPECT_TRUE(proc.executableOf(201).missing());
    EXPECT_TRUE(proc.socketInodesOf(201).missing());
    EXPECT_EQ(proc.path(201, "ns/net"), fake.root() + "/201/ns/net");
}

TEST(ProcFSTest, TheRealProcSeesThisProcess) {
    const ProcFS proc;
    const auto pids = proc.pids();
    ASSERT_TRUE(pids.ok());
    EXPECT_NE(std::find(pids->begin(), pids->end(), ::getpid()), pids->end());
    EXPECT_TRUE(proc.alive(::getpid()));
    EXPECT_TRUE(proc.startTimeOf(::getpid()).ok());
    EXPECT_EQ(*proc.ownerOf(::getpid()), ::getuid());
    EXPECT_FALSE(proc.cgroupsOf(::getpid())->unified.empty());
}

}  // namespace
}  // namespace sentorix
