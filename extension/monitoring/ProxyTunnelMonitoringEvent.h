#pragma once

#include "ProxyTunnelMonitoringEvents.h"
#include "platform/NSError.h"

#include <initializer_list>
#include <map>
#include <optional>
#include <string>

namespace sentorix {

// One notable occurrence inside the extension, in the form the monitoring endpoint receives it.
struct ProxyTunnelMonitoringEvent {
    using Metrics = std::map<std::string, double>;
    using Context = std::map<std::string, std::string>;

    enum class CodingKeys {
        messageID,
        timestamp,
        loggedAt,
        type,
        currentSignal,
        flowID,
        component,
        level,
        code,
        message,
        metrics,
        context,
    };
    static const char* jsonKey(CodingKeys key);

    static constexpr const char* Type = "extension_proxy_event";
    static constexpr const char* Component = "network_extension";

    // Time stamp and logged-at text default to the clock at construction.
    ProxyTunnelMonitoringEvent(std::string currentSignal, std::optional<std::string> flowID, std::string level,
                               std::string code, std::string message, std::optional<Metrics> metrics = std::nullopt,
                               std::optional<Context> context = std::nullopt,
                               std::optional<double> timestamp = std::nullopt,
                               std::optional<std::string> loggedAt = std::nullopt);
    // An event of a declared kind: its context and metric values in the order the kind names their keys.
    ProxyTunnelMonitoringEvent(const ProxyTunnelMonitoringEventKind& kind, std::optional<std::string> flowID,
                               std::initializer_list<std::string_view> contextValues = {},
                               std::initializer_list<double> metricValues = {});

    // Appends the compact JSON object to a string or to a frame's bytes; fails, appending nothing, when a
    // number is not finite.
    template <class Buffer>
    OptionalError encodeJSON(Buffer& out) const;

    std::string messageID;
    double timestamp;
    std::string loggedAt;
    std::string type;
    std::string currentSignal;
    std::optional<std::string> flowID;
    std::string component;
    std::string level;
    std::string code;
    std::string message;
    std::optional<Metrics> metrics;
    std::optional<Context> context;
};

}  // namespace sentorix
