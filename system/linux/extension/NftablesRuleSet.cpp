#include "NftablesRuleSet.h"

#include <nftables/libnftables.h>
#include <unistd.h>

#include <cstdio>

namespace sentorix::linux_system {

namespace {

bool isIPv6(const std::string& host) { return host.find(':') != std::string::npos; }

// "ip daddr 0.0.0.0/0 tcp dport 80": the rule's address, prefix and port as nft matches.
std::string match(const NENetworkRule& rule) {
    const auto& endpoint = rule.matchRemoteEndpoint();
    std::string text = isIPv6(endpoint.hostname()) ? "ip6 daddr " : "ip daddr ";
    text += endpoint.hostname() + "/" + std::to_string(rule.matchRemotePrefix());
    if (!endpoint.port().empty() && endpoint.port() != "0") {
        text += " tcp dport " + endpoint.port();
    } else {
        text += " meta l4proto tcp";
    }
    return text;
}

}  // namespace

NftablesRuleSet::NftablesRuleSet() : context_(nft_ctx_new(NFT_CTX_DEFAULT)) {
    nft_ctx_buffer_output(context_);
    nft_ctx_buffer_error(context_);
}

NftablesRuleSet::~NftablesRuleSet() {
    remove();
    nft_ctx_free(context_);
}

std::string NftablesRuleSet::script(const NETransparentProxyNetworkSettings& settings, std::uint16_t interceptionPort,
                                    std::uint32_t ownMark, bool replacing) {
    const std::string table = std::string("inet ") + TableName;
    std::string out;
    if (replacing) {
        out += "delete table " + table + "\n";
    }
    out += "add table " + table + " { flags owner; }\n";
    out += "add chain " + table + " output { type nat hook output priority -100; policy accept; }\n";
    char mark[16];
    std::snprintf(mark, sizeof mark, "0x%x", ownMark);
    out += "add rule " + table + " output meta mark " + mark + " return\n";
    for (const auto& rule : settings.excludedNetworkRules.value_or(std::vector<NENetworkRule>{})) {
        if (rule.matchProtocol() != NENetworkRuleProtocol::UDP) {
            out += "add rule " + table + " output " + match(rule) + " return\n";
        }
    }
    for (const auto& rule : settings.includedNetworkRules.value_or(std::vector<NENetworkRule>{})) {
        if (rule.matchProtocol() != NENetworkRuleProtocol::UDP) {
            out += "add rule " + table + " output " + match(rule) + " redirect to :" +
                   std::to_string(interceptionPort) + "\n";
        }
    }
    return out;
}

Result<void> NftablesRuleSet::run(const std::string& commands) {
    if (!context_) {
        return failure(ENOMEM, "Cannot create an nftables context");
    }
    const int status = nft_run_cmd_from_buffer(context_, commands.c_str());
    const char* error = nft_ctx_get_error_buffer(context_);
    std::string message = error ? error : "";
    while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) {
        message.pop_back();
    }
    if (status == 0) {
        return {};
    }
    if (::geteuid() != 0 && (message.find("Operation not permitted") != std::string::npos || message.empty())) {
        return failure(EPERM, "Cannot set the network rules: CAP_NET_ADMIN is needed (run as root)");
    }
    return failure(EINVAL, "Cannot set the network rules through nftables: " +
                               (message.empty() ? std::string("no nftables support") : message));
}

Result<void> NftablesRuleSet::apply(const NETransparentProxyNetworkSettings& settings,
                                    std::uint16_t interceptionPort, std::uint32_t ownMark) {
    // Replacing happens in one transaction, so there is no moment without the redirect.
    auto applied = run(script(settings, interceptionPort, ownMark, applied_));
    if (applied) {
        applied_ = true;
    }
    return applied;
}

void NftablesRuleSet::remove() {
    if (applied_) {
        // Failing, the table still goes when our netlink socket closes.
        static_cast<void>(run(std::string("delete table inet ") + TableName + "\n"));
        applied_ = false;
    }
}

}  // namespace sentorix::linux_system
