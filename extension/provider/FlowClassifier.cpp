#include "FlowClassifier.h"

#include "BuiltInPolicy.h"
#include "ClientHelloServerName.h"
#include "HTTPHostHeader.h"
#include "platform/StringTrimming.h"

#include <algorithm>
#include <cctype>

namespace sentorix {

namespace {

char lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

std::string lowercased(std::string_view text) {
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(), lower);
    return result;
}

// A leading "." makes a suffix entry: it matches sub-domains of the name after the dot, not the name.
// Entries are lower case already (folded once, when the classifier is built).
bool hostMatches(const std::string& host, const std::string& entry) {
    if (!entry.empty() && entry.front() == '.') {
        return host.ends_with(entry);
    }
    return host == entry;
}

std::vector<std::string> lowercasedAll(const std::vector<std::string>& entries) {
    std::vector<std::string> result;
    result.reserve(entries.size());
    for (const auto& entry : entries) {
        result.push_back(lowercased(entry));
    }
    return result;
}

bool anyMatch(const std::vector<std::string>& entries, const std::string& host) {
    return std::any_of(entries.begin(), entries.end(), [&](const auto& entry) { return hostMatches(host, entry); });
}

}  // namespace

const char* toString(FlowAction action) {
    switch (action) {
    case FlowAction::bypass: return "bypass";
    case FlowAction::dropUDP: return "dropUDP";
    case FlowAction::proxyTCP: return "proxyTCP";
    }
    return "unknown";
}

std::size_t FlowClassifier::CaseInsensitiveHash::operator()(const std::string& text) const {
    // FNV-1a over the lower-cased bytes.
    std::size_t hash = 1469598103934665603ULL;
    for (char c : text) {
        hash = (hash ^ static_cast<unsigned char>(lower(c))) * 1099511628211ULL;
    }
    return hash;
}

bool FlowClassifier::CaseInsensitiveEqual::operator()(const std::string& a, const std::string& b) const {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return lower(x) == lower(y);
           });
}

FlowClassifier::FlowClassifier()
    : bypassAppIds(BuiltInPolicy::bypassAppIds().begin(), BuiltInPolicy::bypassAppIds().end()),
      hardBypassDomains(lowercasedAll(BuiltInPolicy::hardBypassDomains())),
      realtimeMediaDomains(lowercasedAll(BuiltInPolicy::realtimeMediaDomains())),
      udpQuicPolicyDomains(lowercasedAll(BuiltInPolicy::realtimeMediaDomains())) {}

std::string FlowClassifier::normalisedHost(std::string_view host) {
    while (!host.empty() && host.front() == '.') {
        host.remove_prefix(1);
    }
    while (!host.empty() && host.back() == '.') {
        host.remove_suffix(1);
    }
    return lowercased(host);
}

FlowAction FlowClassifier::determineNormalFlowAction(const std::string& appId, const std::string& host,
                                                     bool isUDP) const {
    if (bypassAppIds.contains(appId)) {
        return FlowAction::bypass;
    }
    const std::string normalised = normalisedHost(host);
    if (anyMatch(hardBypassDomains, normalised)) {
        return FlowAction::bypass;
    }
    if (!isUDP) {
        return FlowAction::proxyTCP;
    }
    if (anyMatch(udpQuicPolicyDomains, normalised)) {
        return FlowAction::bypass;
    }
    return FlowAction::dropUDP;
}

bool FlowClassifier::declinesEveryFlowOf(const std::string& appId) const {
    return bypassAppIds.contains(std::string(trimmedView(appId)));
}

bool FlowClassifier::declinesFlowsTo(const std::string& hostname) const {
    return anyMatch(hardBypassDomains, normalisedHost(hostname));
}

PeekedHostname FlowClassifier::hostnameInFirstBytes(std::span<const std::uint8_t> bytes) {
    // A TLS record starts with its content type, 22 for a handshake; an HTTP request with a method name.
    if (!bytes.empty() && bytes[0] == 22) {
        return ClientHelloServerName::parse(bytes);
    }
    return HTTPHostHeader::parse(bytes);
}

}  // namespace sentorix
