#include "ProxyTunnelMonitoringEvent.h"

#include "JSONWriter.h"
#include "platform/ISO8601.h"
#include "platform/NSData.h"
#include "platform/NSUUID.h"

#include <chrono>
#include <cmath>

namespace sentorix {

namespace {

double secondsSince1970(std::chrono::system_clock::time_point time) {
    return std::chrono::duration<double>(time.time_since_epoch()).count();
}

std::string describe(double value) {
    if (std::isnan(value)) {
        return "Double.nan";
    }
    return value > 0 ? "Double.infinity" : "-Double.infinity";
}

// The kind's keys paired with the caller's values, or none at all when the kind declares no keys.
template <class Map, class Value>
std::optional<Map> keyed(const ProxyTunnelMonitoringEventKind::Keys& keys, std::initializer_list<Value> values) {
    const std::size_t count = ProxyTunnelMonitoringEventKind::count(keys);
    if (count == 0) {
        return std::nullopt;
    }
    Map map;
    auto value = values.begin();
    for (std::size_t i = 0; i < count && value != values.end(); ++i, ++value) {
        map.emplace(keys[i], *value);
    }
    return map;
}

NSError invalidValue(double value, const std::string& path) {
    // The same domain and code as the platform's JSON encoder uses for a value it cannot write.
    return NSError("NSCocoaErrorDomain", 4866,
                   "Unable to encode " + describe(value) + " directly in JSON (at " + path + ")");
}

}  // namespace

const char* ProxyTunnelMonitoringEvent::jsonKey(CodingKeys key) {
    switch (key) {
    case CodingKeys::messageID: return "message_id";
    case CodingKeys::timestamp: return "timestamp";
    case CodingKeys::loggedAt: return "logged_at";
    case CodingKeys::type: return "type";
    case CodingKeys::currentSignal: return "current_signal";
    case CodingKeys::flowID: return "flow_id";
    case CodingKeys::component: return "component";
    case CodingKeys::level: return "level";
    case CodingKeys::code: return "code";
    case CodingKeys::message: return "message";
    case CodingKeys::metrics: return "metrics";
    case CodingKeys::context: return "context";
    }
    return "";
}

ProxyTunnelMonitoringEvent::ProxyTunnelMonitoringEvent(std::string currentSignal_, std::optional<std::string> flowID_,
                                                       std::string level_, std::string code_, std::string message_,
                                                       std::optional<Metrics> metrics_,
                                                       std::optional<Context> context_,
                                                       std::optional<double> timestamp_,
                                                       std::optional<std::string> loggedAt_)
    : messageID(NSUUID::UUIDString()),
      timestamp(timestamp_ ? *timestamp_ : secondsSince1970(std::chrono::system_clock::now())),
      loggedAt(loggedAt_ ? std::move(*loggedAt_) : iso8601Seconds(std::chrono::system_clock::now())),
      type(Type),
      currentSignal(std::move(currentSignal_)),
      flowID(std::move(flowID_)),
      component(Component),
      level(std::move(level_)),
      code(std::move(code_)),
      message(std::move(message_)),
      metrics(std::move(metrics_)),
      context(std::move(context_)) {}

ProxyTunnelMonitoringEvent::ProxyTunnelMonitoringEvent(const ProxyTunnelMonitoringEventKind& kind,
                                                       std::optional<std::string> flowID_,
                                                       std::initializer_list<std::string_view> contextValues,
                                                       std::initializer_list<double> metricValues)
    : ProxyTunnelMonitoringEvent(std::string(kind.currentSignal), std::move(flowID_), std::string(kind.level),
                                 std::string(kind.code), std::string(kind.message),
                                 keyed<Metrics>(kind.metricKeys, metricValues),
                                 keyed<Context>(kind.contextKeys, contextValues)) {}

template <class Buffer>
OptionalError ProxyTunnelMonitoringEvent::encodeJSON(Buffer& out) const {
    if (!std::isfinite(timestamp)) {
        return invalidValue(timestamp, jsonKey(CodingKeys::timestamp));
    }
    if (metrics) {
        for (const auto& [name, value] : *metrics) {
            if (!std::isfinite(value)) {
                return invalidValue(value, std::string(jsonKey(CodingKeys::metrics)) + "." + name);
            }
        }
    }

    using K = CodingKeys;
    BasicJSONWriter<Buffer> json(out);
    json.beginObject();
    json.key(jsonKey(K::messageID));
    json.string(messageID);
    json.key(jsonKey(K::timestamp));
    json.number(timestamp);
    json.key(jsonKey(K::loggedAt));
    json.string(loggedAt);
    json.key(jsonKey(K::type));
    json.string(type);
    json.key(jsonKey(K::currentSignal));
    json.string(currentSignal);
    if (flowID) {
        json.key(jsonKey(K::flowID));
        json.string(*flowID);
    }
    json.key(jsonKey(K::component));
    json.string(component);
    json.key(jsonKey(K::level));
    json.string(level);
    json.key(jsonKey(K::code));
    json.string(code);
    json.key(jsonKey(K::message));
    json.string(message);
    if (metrics) {
        json.key(jsonKey(K::metrics));
        json.beginObject();
        for (const auto& [name, value] : *metrics) {
            json.key(name);
            json.number(value);
        }
        json.endObject();
    }
    if (context) {
        json.key(jsonKey(K::context));
        json.beginObject();
        for (const auto& [name, value] : *context) {
            json.key(name);
            json.string(value);
        }
        json.endObject();
    }
    json.endObject();
    return std::nullopt;
}

template OptionalError ProxyTunnelMonitoringEvent::encodeJSON(std::string&) const;
template OptionalError ProxyTunnelMonitoringEvent::encodeJSON(NSData&) const;

}  // namespace sentorix
