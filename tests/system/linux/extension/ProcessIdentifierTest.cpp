#include "ProcessIdentifier.h"
#include "provider/BuiltInPolicy.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>

namespace sentorix {
namespace {

using linux_system::ProcessIdentifier;
namespace fs = std::filesystem;

// A /proc of the test's own: each process with a cgroup file and an executable link.
class FakeProc {
public:
    FakeProc() : root_(fs::temp_directory_path() / ("sentorix-proc-" + std::to_string(::getpid()))) {
        fs::remove_all(root_);
    }
    ~FakeProc() { fs::remove_all(root_); }

    void process(int pid, const std::string& cgroup, const std::string& exe) {
        const fs::path dir = root_ / std::to_string(pid);
        fs::create_directories(dir);
        fs::remove(dir / "cgroup");
        if (!cgroup.empty()) {
            std::ofstream(dir / "cgroup") << "12:memory:/\n1:name=systemd:/\n0::" << cgroup << "\n";
        }
        fs::remove(dir / "exe");
        fs::create_symlink(exe, dir / "exe");
    }
    std::string root() const { return root_.string(); }

private:
    fs::path root_;
};

const asio::ip::tcp::endpoint Proxy(asio::ip::address_v4::loopback(), 8080);

TEST(ProcessIdentifierTest, AProcessIsReadOncePerLifeAndAgainWhenItsPidIsReused) {
    FakeProc proc;
    proc.process(100, "/user.slice/app-gnome-org.example.Editor-4242.scope", "/usr/bin/editor");
    ProcessIdentifier identifier(Proxy, proc.root());
    EXPECT_EQ(identifier.identifyProcess(100, 1, 7), "org.example.Editor");

    proc.process(100, "/user.slice/session-1.scope", "/usr/bin/other");
    EXPECT_EQ(identifier.identifyProcess(100, 1, 7), "org.example.Editor") << "the same life is not read again";
    EXPECT_EQ(identifier.identifyProcess(100, 2, 8), "/usr/bin/other") << "a new life with the same pid is";
    EXPECT_EQ(identifier.statistics().processReads, 2u);
}

TEST(ProcessIdentifierTest, ACgroupsUnitNameServesEveryProcessInIt) {
    FakeProc proc;
    proc.process(200, "/user.slice/app-gnome-org.example.Player@3.service", "/usr/bin/player");
    proc.process(201, "", "/usr/bin/player-helper");  // its cgroup file can no longer be read
    proc.process(300, "/", "/usr/bin/tool");
    proc.process(301, "", "/usr/bin/tool2");
    ProcessIdentifier identifier(Proxy, proc.root());
    EXPECT_EQ(identifier.identifyProcess(200, 1, 50), "org.example.Player");
    EXPECT_EQ(identifier.identifyProcess(201, 1, 50), "org.example.Player");
    EXPECT_EQ(identifier.identifyProcess(300, 1, 60), "/usr/bin/tool");
    EXPECT_EQ(identifier.identifyProcess(301, 1, 60), "/usr/bin/tool2") << "no unit: each process's executable";
}

TEST(ProcessIdentifierTest, AProgramsPathIsReadOnceForAllItsProcesses) {
    FakeProc proc;
    proc.process(400, "/", "/usr/bin/curl");
    proc.process(401, "/", "/usr/bin/unreadable-now");
    ProcessIdentifier identifier(Proxy, proc.root());
    EXPECT_EQ(identifier.identifyProcess(400, 1, 80, 7, 1234), "/usr/bin/curl");
    EXPECT_EQ(identifier.identifyProcess(401, 1, 80, 7, 1234), "/usr/bin/curl") << "same device and inode";
    EXPECT_EQ(identifier.identifyProcess(401, 2, 80, 7, 5678), "/usr/bin/unreadable-now") << "another file";
    EXPECT_EQ(identifier.identifyProcess(401, 3, 80, 0, 0), "/usr/bin/unreadable-now") << "no file known";
}

bool bypassed(const std::string& identifier) {
    const auto lower = [](std::string text) {
        std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
        return text;
    };
    const auto& ids = BuiltInPolicy::bypassAppIds();
    return std::any_of(ids.begin(), ids.end(), [&](const auto& id) { return lower(id) == lower(identifier); });
}

TEST(ProcessIdentifierTest, SystemServicesAndVPNClientsAsTheyRunAreIdentifiedAsTheBypassListNamesThem) {
    struct Case {
        const char* cgroup;
        const char* exe;
    };
    // Services' helpers share their unit's cgroup: apt's methods under apt-daily, OpenVPN under the
    // network manager's VPN plugin.
    const Case services[] = {
        {"/system.slice/systemd-resolved.service", "/usr/lib/systemd/systemd-resolved"},
        {"/system.slice/NetworkManager.service", "/usr/sbin/openvpn"},
        {"/system.slice/apt-daily.service", "/usr/lib/apt/methods/http"},
        {"/system.slice/apt-daily-upgrade.service", "/usr/lib/apt/methods/http"},
        {"/system.slice/packagekit.service", "/usr/lib/apt/methods/http"},
        {"/system.slice/fwupd-refresh.service", "/usr/bin/fwupdmgr"},
        {"/system.slice/chrony.service", "/usr/sbin/chronyd"},
        {"/system.slice/strongswan-starter.service", "/usr/lib/ipsec/charon"},
        {"/system.slice/tailscaled.service", "/usr/sbin/tailscaled"},
        {"/system.slice/mullvad-daemon.service", "/usr/bin/mullvad-daemon"},
        {"/system.slice/sentorix.service", "/usr/bin/sentorix"},
        {"/user.slice/user-1000.slice/user@1000.service/app.slice/app-flatpak-com.protonvpn.www-4242.scope",
         "/app/bin/python3"},
        {"/user.slice/user-1000.slice/user@1000.service/app.slice/app-gnome-com.protonvpn.app.gtk-4243.scope",
         "/usr/bin/python3.11"},
        // Started by hand in a login session: no unit, so the program.
        {"/user.slice/user-1000.slice/session-2.scope", "/usr/lib/apt/methods/http"},
        {"/user.slice/user-1000.slice/session-2.scope", "/usr/sbin/openvpn"},
        {"/user.slice/user-1000.slice/session-2.scope", "/usr/sbin/openconnect"},
        {"/user.slice/user-1000.slice/session-2.scope", "/opt/Mullvad VPN/mullvad-gui"},
    };
    FakeProc proc;
    int pid = 500;
    for (const auto& service : services) {
        proc.process(pid, service.cgroup, service.exe);
        ProcessIdentifier identifier(Proxy, proc.root());
        const std::string identity = identifier.identifyProcess(pid, 1, std::uint64_t(pid), 1, std::uint64_t(pid));
        EXPECT_TRUE(bypassed(identity)) << service.cgroup << " running " << service.exe << ": " << identity;
        ++pid;
    }

    // An ordinary program started the same way is not.
    proc.process(pid, "/user.slice/user-1000.slice/session-2.scope", "/usr/bin/curl");
    ProcessIdentifier identifier(Proxy, proc.root());
    EXPECT_FALSE(bypassed(identifier.identifyProcess(pid, 1, std::uint64_t(pid))));
}

TEST(ProcessIdentifierTest, AProcessThatHasGoneHasNoIdentifier) {
    FakeProc proc;
    ProcessIdentifier identifier(Proxy, proc.root());
    EXPECT_EQ(identifier.identifyProcess(999, 1, 70), "");
}

}  // namespace
}  // namespace sentorix
