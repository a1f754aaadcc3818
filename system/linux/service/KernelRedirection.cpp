#include "KernelRedirection.h"

#include "UniqueFd.h"

#include <bpf/bpf.h>
#include <dirent.h>
#include <nftables/libnftables.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <vector>

namespace sentorix::linux_system {

namespace {

// The BPF links among the process's descriptors, from what /proc shows of each.
std::vector<unsigned> linkIdsOf(pid_t pid) {
    std::vector<unsigned> ids;
    const std::string directory = "/proc/" + std::to_string(pid) + "/fdinfo";
    const std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir(directory.c_str()), &::closedir);
    if (!listing) {
        return ids;
    }
    while (const dirent* entry = ::readdir(listing.get())) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        std::ifstream info(directory + "/" + entry->d_name);
        std::string line;
        while (std::getline(info, line)) {
            if (line.rfind("link_id:", 0) == 0) {
                ids.push_back(static_cast<unsigned>(std::strtoul(line.c_str() + 8, nullptr, 10)));
                break;
            }
        }
    }
    return ids;
}

}  // namespace

KernelRedirection::Removal KernelRedirection::removeFor(pid_t extension) {
    Removal removal;
    for (const unsigned id : linkIdsOf(extension)) {
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
        } else if (errno != EINVAL) {  // EINVAL: already detached
            removal.remaining = true;
            removal.problem = "cannot detach BPF link " + std::to_string(id) + ": " + std::strerror(errno);
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
                removal.remaining = true;
                removal.problem = std::string("cannot delete the nftables table inet sentorix: ") +
                                  nft_ctx_get_error_buffer(nft.get());
            }
        }
    }
    return removal;
}

}  // namespace sentorix::linux_system
