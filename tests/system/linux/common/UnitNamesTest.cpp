#include "UnitNames.h"

#include <gtest/gtest.h>

namespace sentorix {
namespace {

using linux_system::UnitNames;

TEST(UnitNamesTest, DesktopScopesAndServicesGiveTheirApplicationID) {
    EXPECT_EQ(UnitNames::identifier("/user.slice/user-1000.slice/user@1000.service/app.slice/"
                                    "app-gnome-org.example.Browser-42.scope"),
              "org.example.Browser");
    EXPECT_EQ(UnitNames::identifier("/user.slice/app-gnome-org.example.Player@3.service"), "org.example.Player");
    EXPECT_EQ(UnitNames::identifier("/user.slice/app-gnome-org.example.Player.service"), "org.example.Player")
        << "a service without an instance";
    EXPECT_EQ(UnitNames::identifier("/user.slice/user-1000.slice/user@1000.service/app.slice/"
                                    "app-flatpak-com.protonvpn.www-4242.scope"),
              "com.protonvpn.www");
    EXPECT_EQ(UnitNames::identifier("/user.slice/user-1000.slice/user@1000.service/app.slice/snap.firefox.firefox-77.scope"),
              "firefox");
    // Without a launcher part the name is no desktop unit's: the program's path identifies it instead.
    EXPECT_EQ(UnitNames::identifier("/user.slice/app-org.example.Editor@12.service"), "");
    EXPECT_EQ(UnitNames::identifier("/user.slice/app-org.example.Editor.scope"), "");
}

TEST(UnitNamesTest, SystemServicesGiveTheirNameAndEverythingElseNothing) {
    EXPECT_EQ(UnitNames::identifier("/system.slice/NetworkManager.service"), "NetworkManager");
    EXPECT_EQ(UnitNames::identifier("/system.slice/unbound.service"), "unbound");
    EXPECT_EQ(UnitNames::identifier("/system.slice/corp-agent.service"), "corp-agent");
    EXPECT_EQ(UnitNames::identifier("/user.slice/user-1000.slice/user@1000.service"), "user@1000")
        << "the user manager is a service like any other";
    EXPECT_EQ(UnitNames::identifier("/user.slice/user-1000.slice/user@1000.service/app.slice"), "");
    EXPECT_EQ(UnitNames::identifier("/user.slice/user-1000.slice/session-2.scope"), "");
    EXPECT_EQ(UnitNames::identifier("/system.slice/.service"), "") << "no name before the suffix";
    EXPECT_EQ(UnitNames::identifier("/"), "");
    EXPECT_EQ(UnitNames::identifier(""), "");
}

TEST(UnitNamesTest, UnitNamesAreReadAsTheApplicationNamedThemNotAsSystemdEscapedThem) {
    EXPECT_EQ(UnitNames::identifier("/user.slice/app-gnome-mullvad\\x2dvpn-4242.scope"), "mullvad-vpn");
    EXPECT_EQ(UnitNames::identifier("/system.slice/my\\x2dservice.service"), "my-service");
    EXPECT_EQ(UnitNames::identifier("/system.slice/odd\\xZZ\\x2.service"), "odd\\xZZ\\x2")
        << "what is not an escape stays as it is";
    EXPECT_EQ(UnitNames::escapedIdentifier("/system.slice/my\\x2dservice.service"), "my\\x2dservice");
}

}  // namespace
}  // namespace sentorix
