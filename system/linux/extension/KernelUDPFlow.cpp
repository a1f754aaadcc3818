#include "KernelUDPFlow.h"

#include <cerrno>

namespace sentorix::linux_system {

void KernelUDPFlow::open(std::shared_ptr<NWHostEndpoint> /*localEndpoint*/,
                         std::function<void(OptionalError)> completionHandler) {
    completionHandler(NSError::posix(EOPNOTSUPP, "UDP flows are not relayed"));
}

void KernelUDPFlow::closeReadWithError(OptionalError /*error*/) {}

void KernelUDPFlow::closeWriteWithError(OptionalError /*error*/) {}

}  // namespace sentorix::linux_system
