#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace sentorix {

// What one kind of monitoring event always says, and the keys its context and metrics carry. An event
// with no keys of a kind carries none of that kind at all, not an empty one.
struct ProxyTunnelMonitoringEventKind {
    static constexpr std::size_t MaxKeys = 2;
    using Keys = std::array<std::string_view, MaxKeys>;  // unused places stay empty

    std::string_view currentSignal;
    std::string_view code;
    std::string_view level;
    std::string_view message;
    Keys contextKeys{};
    Keys metricKeys{};

    static constexpr std::size_t count(const Keys& keys) {
        std::size_t n = 0;
        while (n < keys.size() && !keys[n].empty()) {
            ++n;
        }
        return n;
    }
};

// Every event the extension reports, declared once; the emitting code names them from here. What goes
// on the wire is fixed: peers parse these values.
namespace ProxyTunnelMonitoringEvents {

using Kind = ProxyTunnelMonitoringEventKind;

// The provider's life.
inline constexpr Kind providerStarted{"provider_started", "extension.provider_started", "info",
                                      "Transparent proxy provider started"};
inline constexpr Kind providerStopped{"provider_stopped", "extension.provider_stopped", "info",
                                      "Transparent proxy provider stopped", {"reason"}};

// Admission. Its signal is the rejected handshake's, as peers already expect; the code tells them apart.
inline constexpr Kind handshakeBacklogExceeded{"connect_handshake_rejected",
                                               "extension.connect_handshake_backlog_exceeded", "error",
                                               "Rejected flow due to CONNECT handshake backlog",
                                               {"app_id"},
                                               {"pending_handshakes"}};

// The CONNECT handshake.
inline constexpr Kind handshakeStarted{"connect_handshake_started", "extension.connect_handshake_started", "info",
                                       "Starting CONNECT handshake", {"app_id", "remote"}};
inline constexpr Kind handshakeWriteFailed{"connect_handshake_write_failed",
                                           "extension.connect_handshake_write_failed", "error",
                                           "Failed to write CONNECT handshake", {"detail"}};
inline constexpr Kind handshakeReadFailed{"connect_handshake_read_failed", "extension.connect_handshake_read_failed",
                                          "error", "Failed to read CONNECT response", {"detail"}};
inline constexpr Kind handshakeRejected{"connect_handshake_rejected", "extension.connect_handshake_non_200", "error",
                                        "CONNECT handshake failed with non-200 status", {"app_id", "status_line"}};
inline constexpr Kind handshakeInvalid{"connect_handshake_invalid", "extension.connect_handshake_invalid", "error",
                                       "CONNECT handshake response was invalid", {"app_id", "reason"}};
inline constexpr Kind handshakeSucceeded{"connect_handshake_succeeded", "extension.connect_handshake_succeeded",
                                         "info", "CONNECT handshake completed", {"app_id"},
                                         {"elapsed_ms", "leftover_bytes"}};
inline constexpr Kind handshakeLeftoverWriteFailed{"connect_handshake_leftover_write_failed",
                                                   "extension.connect_handshake_leftover_write_failed", "error",
                                                   "Failed to forward CONNECT leftover bytes", {"detail"}};
inline constexpr Kind handshakeTimedOut{"connect_handshake_timed_out", "extension.connect_handshake_timed_out",
                                        "error", "CONNECT handshake timed out", {"app_id"}, {"timeout_seconds"}};

// The tunnel's end: one signal and code, level and message by whether an error ended it.
inline constexpr Kind tunnelClosed{"tunnel_closed", "extension.tunnel_closed", "info", "Tunnel closed",
                                   {"app_id", "detail"}};
inline constexpr Kind tunnelClosedWithError{"tunnel_closed", "extension.tunnel_closed", "error",
                                            "Tunnel closed with error", {"app_id", "detail"}};

// The local proxy's health.
inline constexpr Kind proxyUnreachable{"proxy_unreachable", "extension.proxy_unreachable", "error",
                                       "Local proxy is unreachable; transparent proxy is bypassing new flows",
                                       {"proxy"}};
inline constexpr Kind proxyRecovered{"proxy_recovered", "extension.proxy_recovered", "info",
                                     "Local proxy recovered; transparent proxy can handle new flows", {"proxy"}};

inline constexpr std::array all{&providerStarted,      &providerStopped,       &handshakeBacklogExceeded,
                                &handshakeStarted,     &handshakeWriteFailed,  &handshakeReadFailed,
                                &handshakeRejected,    &handshakeInvalid,      &handshakeSucceeded,
                                &handshakeLeftoverWriteFailed, &handshakeTimedOut, &tunnelClosed,
                                &tunnelClosedWithError, &proxyUnreachable,     &proxyRecovered};

}  // namespace ProxyTunnelMonitoringEvents

}  // namespace sentorix
