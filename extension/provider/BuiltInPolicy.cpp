#include "BuiltInPolicy.h"

namespace sentorix {

const std::vector<std::string>& BuiltInPolicy::bypassAppIds() {
    static const std::vector<std::string> ids = {
        // This system's own components; on Linux by unit and by program as installed, packaged or activated
        // (a program is known by its resolved path, never a link's).
        "com.sentorix.proxy-sidecar",
        "com.sentorix.helper",
        "com.sentorix.desktop",
        "com.sentorix.desktop.extension",
        "com.sentorix.desktop.extensionhost",
        "sentorix",
        "sentorix-proxy",
        "sentorix-monitor",
        "/usr/bin/sentorix",
        "/usr/bin/sentorix-proxy",
        "/usr/bin/sentorix-monitor",
        "/usr/libexec/sentorix/com.sentorix.desktop.extension",
        "/usr/libexec/sentorix/sentorix-proxy",
        "/usr/libexec/sentorix/sentorix-monitor",
        "/usr/local/lib/sentorix/Sentorix.app/Contents/MacOS/sentorix",
        "/var/lib/sentorix/SystemExtensions/com.sentorix.desktop.extension.systemextension/Contents/MacOS/"
        "com.sentorix.desktop.extension",
        // Operating-system network services; on Linux as Debian 12 ships them, by unit and by program
        // (merged /usr: a program is never known under /lib, /bin or /sbin).
        "com.apple.mDNSResponder",
        "com.apple.nsurlsessiond",
        "com.apple.trustd",
        "com.apple.geod",
        "com.apple.cloudd",
        "com.apple.WebCore",
        "systemd-resolved",
        "/usr/lib/systemd/systemd-resolved",
        "dnsmasq",
        "/usr/sbin/dnsmasq",
        "unbound",
        "/usr/sbin/unbound",
        "NetworkManager",
        "/usr/sbin/NetworkManager",
        "ModemManager",
        "/usr/sbin/ModemManager",
        "systemd-networkd",
        "/usr/lib/systemd/systemd-networkd",
        "wpa_supplicant",
        "/usr/sbin/wpa_supplicant",
        "connman",
        "/usr/sbin/connmand",
        "iwd",
        "/usr/libexec/iwd",
        "avahi-daemon",
        "/usr/sbin/avahi-daemon",
        "systemd-timesyncd",
        "/usr/lib/systemd/systemd-timesyncd",
        "chrony",
        "/usr/sbin/chronyd",
        "ntpsec",
        "/usr/sbin/ntpd",
        "geoclue",
        "/usr/libexec/geoclue",
        "apt-daily",
        "apt-daily-upgrade",
        "/usr/lib/apt/methods/http",
        "/usr/lib/apt/methods/ftp",
        "/usr/lib/apt/methods/mirror",
        "packagekit",
        "/usr/libexec/packagekitd",
        "unattended-upgrades",
        "fwupd",
        "/usr/libexec/fwupd/fwupd",
        "fwupd-refresh",
        "/usr/bin/fwupdmgr",
        // VPN and remote-access clients; on Linux by unit, program or application ID. A templated unit
        // (openvpn-client@NAME) keeps its instance in its identifier, so none can be listed here.
        "com.cisco.anyconnect",
        "com.mullvad.vpn",
        "com.nordvpn.osx",
        "com.ivpn.client",
        "com.tunnelbear.mac.TunnelBear",
        "io.tailscale.ipn.macos",
        "net.sparklabs.Viscosity",
        "com.fortinet.forticlient",
        "com.fortinet.forticlient.vpn",
        "com.fortinet.FortiClient",
        "com.fortinet.forticlient.macos",
        "com.fortinet.forticlient.fct_vulnerabilities",
        "/usr/sbin/openvpn",
        "/usr/sbin/openconnect",
        "strongswan",
        "strongswan-starter",
        "/usr/lib/ipsec/charon",
        "/usr/sbin/charon-systemd",
        "tailscaled",
        "/usr/sbin/tailscaled",
        "mullvad-daemon",
        "/usr/bin/mullvad-daemon",
        "/opt/Mullvad VPN/mullvad-gui",
        "nordvpnd",
        "/usr/sbin/nordvpnd",
        "/usr/bin/nordvpn",
        "com.protonvpn.www",
        "com.protonvpn.app.gtk",
        "forticlient",
        "/opt/forticlient/fctsched",
        "/opt/forticlient/vpn",
        "/opt/forticlient/fortivpn",
        "/opt/forticlient/gui/FortiClient-linux-x64/FortiClient",
        "vpnagentd",
        "/opt/cisco/anyconnect/bin/vpnagentd",
        "/opt/cisco/anyconnect/bin/vpnui",
        "/opt/cisco/secureclient/bin/vpnagentd",
        "/opt/cisco/secureclient/bin/vpnui",
        "zerotier-one",
        "/usr/sbin/zerotier-one",
        "netbird",
        "/usr/bin/netbird",
        "/usr/bin/netbird-ui",
        "warp-svc",
        "/usr/bin/warp-svc",
        "ivpn-service",
        "/usr/bin/ivpn-service",
    };
    return ids;
}

const std::vector<std::string>& BuiltInPolicy::hardBypassDomains() {
    static const std::vector<std::string> domains = {
        // Platform vendor's service and content domains.
        ".apple.com", ".icloud.com", ".mzstatic.com",
        // Certificate authorities.
        ".digicert.com", ".letsencrypt.org",
        // Private-relay ingress.
        "mask.icloud.com", "mask-h2.icloud.com",
        // Google Play web store.
        "play.google.com", ".play.google.com",
        // Google web-chat signalling.
        "signaler-pa.clients6.google.com", ".signaler-pa.clients6.google.com",
        "webchannel-us-east1.signaler-pa.clients6.google.com",
        "webchannel-europe-west1.signaler-pa.clients6.google.com",
        // Microsoft Teams static content on two CDNs.
        "statics.teams.cdn.office.net", "statics.teams.microsoft.com",
        // Cursor editor CDN and metrics.
        "downloads.cursor.com", "metrics.cursor.sh",
        // YouTube video and images.
        "googlevideo.com", ".googlevideo.com", "i.ytimg.com", ".ytimg.com",
        // Google web fonts and static content.
        "fonts.googleapis.com", ".gstatic.com", ".googleusercontent.com",
        // Tag manager, analytics, DoubleClick.
        "www.googletagmanager.com", ".googletagmanager.com", "www.google-analytics.com", ".google-analytics.com",
        "doubleclick.net", ".doubleclick.net",
        // hCaptcha and reCAPTCHA.
        "hcaptcha.com", ".hcaptcha.com", "recaptcha.net", ".recaptcha.net",
        // Cookie-consent CDN.
        "cdn.cookielaw.org",
        // Netflix video CDN.
        "nflxvideo.net", ".nflxvideo.net",
        // Spotify content CDN.
        "scdn.co", ".scdn.co",
    };
    return domains;
}

const std::vector<std::string>& BuiltInPolicy::realtimeMediaDomains() {
    static const std::vector<std::string> domains = {
        "meet.google.com",
        "teams.microsoft.com", ".teams.microsoft.com", "teams.live.com", ".teams.live.com",
        "lync.com", ".lync.com",
        "join.skype.com",
        ".skype.com", "skype.com",
        ".zoom.us", "zoom.us", ".zoom.com", "zoom.com", ".zoomgov.com", "zoomgov.com", ".zoomapp.cloud", "zoomapp.cloud",
    };
    return domains;
}

const std::vector<std::string>& BuiltInPolicy::interceptedPorts() {
    static const std::vector<std::string> ports = {"80", "443", "11434", "1234", "8000", "5000", "7860"};
    return ports;
}

std::vector<NENetworkRule> BuiltInPolicy::includedRules() {
    std::vector<NENetworkRule> rules;
    for (const auto& port : interceptedPorts()) {
        rules.emplace_back(NWHostEndpoint("0.0.0.0", port), 0, NENetworkRuleProtocol::TCP);
        rules.emplace_back(NWHostEndpoint("::", port), 0, NENetworkRuleProtocol::TCP);
        rules.emplace_back(NWHostEndpoint("127.0.0.1", port), 32, NENetworkRuleProtocol::TCP);
        rules.emplace_back(NWHostEndpoint("::1", port), 128, NENetworkRuleProtocol::TCP);
        if (port == "443" || port == "80") {
            rules.emplace_back(NWHostEndpoint("0.0.0.0", port), 0, NENetworkRuleProtocol::UDP);
            rules.emplace_back(NWHostEndpoint("::", port), 0, NENetworkRuleProtocol::UDP);
        }
    }
    return rules;
}

std::vector<NENetworkRule> BuiltInPolicy::excludedRules(std::uint16_t proxyPort) {
    const std::string port = std::to_string(proxyPort);
    return {
        NENetworkRule(NWHostEndpoint("127.0.0.1", port), 32, NENetworkRuleProtocol::TCP),
        NENetworkRule(NWHostEndpoint("::1", port), 128, NENetworkRuleProtocol::TCP),
    };
}

}  // namespace sentorix
