#include "KernelRedirection.h"

#include "ProcFS.h"
#include "SocketDiagnostics.h"
#include "UniqueFd.h"

#include <bpf/bpf.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <nftables/libnftables.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <memory>
#include <set>
#include <vector>

namespace sentorix::linux_system {

KernelRedirection::Removal KernelRedirection::removeFor(pid_t extension) {
    Removal removal;
    const auto linkIds = ProcFS().bpfLinkIdsOf(extension);
    for (const unsigned id : linkIds ? *linkIds : std::vector<unsigned>{}) {
        const UniqueFd link(::bpf_link_get_fd_by_id(id));
        bpf_link_info info{};
        __u32 length = sizeof info;
        // Only the cgroup links redirect; the others (the exec tracepoint's) only report.
        if (!link.valid() || ::bpf_obj_get_info_by_fd(link.get(), &info, &length) != 0 ||
            info.type != BPF_LINK_TYPE_CGROUP) {
            continue;
        }
        if (::bpf_link_detach(link.get()) == 0) {
            ++removal.links;
        } else if (const int error = errno; error != EINVAL) {  // EINVAL: already detached
            removal.left = failure(error, "cannot detach BPF link " + std::to_string(id) + ": " + std::strerror(error));
        }
    }
    const std::unique_ptr<nft_ctx, void (*)(nft_ctx*)> nft(nft_ctx_new(NFT_CTX_DEFAULT), &nft_ctx_free);
    if (nft) {
        nft_ctx_buffer_output(nft.get());
        nft_ctx_buffer_error(nft.get());
        if (nft_run_cmd_from_buffer(nft.get(), "list table inet sentorix") == 0) {
            if (nft_run_cmd_from_buffer(nft.get(), "delete table inet sentorix") == 0) {
                removal.table = true;
            } else {
                // libnftables gives no errno; its own message, passed on, says why.
                removal.left = failure(EBUSY, std::string("cannot delete the nftables table inet sentorix: ") +
                                                  nft_ctx_get_error_buffer(nft.get()));
            }
        }
    }
    return removal;
}

Result<std::string> KernelRedirection::remove(pid_t extension) {
    const auto removal = removeFor(extension);
    // Redirected before the removal and never accepted: these would wait on it for ever.
    const int reset = resetWaitingConnections(extension);
    std::string done = "its redirection is removed and traffic goes direct (" + std::to_string(removal.links) +
                       " kernel links detached" + (removal.table ? ", nftables table deleted" : "") + ", " +
                       std::to_string(reset) + " waiting connections reset)";
    if (!removal.left) {
        const auto& error = removal.left.error();
        return NSError(error.domain(), error.code(), done + "; ending it, " + error.localizedDescription());
    }
    return done;
}

void KernelRedirection::restore(pid_t extension) { ::kill(extension, SIGUSR1); }

int KernelRedirection::resetWaitingConnections(pid_t extension) {
    const auto inodes = ProcFS().socketInodesOf(extension);
    const std::set<std::uint64_t> held = inodes ? std::set<std::uint64_t>(inodes->begin(), inodes->end())
                                                : std::set<std::uint64_t>{};
    SocketDiagnostics diagnostics;
    int reset = 0;
    for (const std::uint8_t family : {AF_INET, AF_INET6}) {
        inet_diag_req_v2 request{};
        request.sdiag_family = family;
        request.sdiag_protocol = IPPROTO_TCP;
        request.idiag_states = 1u << TCP_LISTEN;
        std::vector<inet_diag_sockid> listeners;
        // Whatever was answered before a failure is reset: a connection left waiting only costs a timeout.
        static_cast<void>(diagnostics.ask(request, true, [&](const inet_diag_msg& socket) {
            if (held.count(socket.idiag_inode)) {
                listeners.push_back(socket.id);
            }
        }));
        if (listeners.empty()) {
            continue;
        }
        // Queued for accept, a connection has no inode yet; the listener's port and address name it.
        request.idiag_states = (1u << TCP_ESTABLISHED) | (1u << TCP_CLOSE_WAIT);
        std::vector<inet_diag_sockid> waiting;
        const std::size_t bytes = family == AF_INET ? 4 : 16;
        const std::uint32_t any[4] = {};
        static_cast<void>(diagnostics.ask(request, true, [&](const inet_diag_msg& socket) {
            if (socket.idiag_inode != 0) {
                return;
            }
            for (const auto& listener : listeners) {
                if (socket.id.idiag_sport == listener.idiag_sport &&
                    (std::memcmp(listener.idiag_src, any, bytes) == 0 ||
                     std::memcmp(listener.idiag_src, socket.id.idiag_src, bytes) == 0)) {
                    waiting.push_back(socket.id);
                    return;
                }
            }
        }));
        for (const auto& id : waiting) {
            reset += diagnostics.destroy(family, id).ok() ? 1 : 0;
        }
    }
    return reset;
}

}  // namespace sentorix::linux_system
