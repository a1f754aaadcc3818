#pragma once

#include "Result.h"
#include "kernel/InterceptionMaps.h"

#include <asio/any_io_executor.hpp>
#include <asio/posix/stream_descriptor.hpp>

#include <functional>
#include <memory>
#include <string>

struct ring_buffer;

namespace sentorix::linux_system {

// Reads what the kernel programs report on their ring, on one strand, in the order they wrote it.
class KernelEventStream : public std::enable_shared_from_this<KernelEventStream> {
public:
    using Handler = std::function<void(const sentorix_event&)>;

    static Result<std::shared_ptr<KernelEventStream>> open(int ringMap, const asio::any_io_executor& executor,
                                                           Handler handler);
    ~KernelEventStream();
    KernelEventStream(const KernelEventStream&) = delete;
    KernelEventStream& operator=(const KernelEventStream&) = delete;

    // No handler runs once this returns on the strand's thread; from elsewhere, soon after.
    void stop();

private:
    KernelEventStream(const asio::any_io_executor& executor, Handler handler);
    void wait();
    static int deliver(void* context, void* data, std::size_t size);

    const Handler handler_;
    ring_buffer* ring_ = nullptr;
    asio::posix::stream_descriptor readable_;  // the ring's epoll descriptor, owned by ring_
    bool stopped_ = false;                     // on the strand only
};

}  // namespace sentorix::linux_system
