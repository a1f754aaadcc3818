#include "KernelEventStream.h"

#include <asio/post.hpp>
#include <asio/strand.hpp>
#include <bpf/libbpf.h>

#include <cerrno>
#include <cstring>

namespace sentorix::linux_system {

KernelEventStream::KernelEventStream(const asio::any_io_executor& executor, Handler handler)
    : handler_(std::move(handler)), readable_(asio::make_strand(executor)) {}

Result<std::shared_ptr<KernelEventStream>> KernelEventStream::open(int ringMap, const asio::any_io_executor& executor,
                                                                   Handler handler) {
    std::shared_ptr<KernelEventStream> self(new KernelEventStream(executor, std::move(handler)));
    self->ring_ = ring_buffer__new(ringMap, &KernelEventStream::deliver, self.get(), nullptr);
    if (!self->ring_) {
        return failure(errno, "cannot open the kernel's event ring: " + std::string(std::strerror(errno)));
    }
    std::error_code code;
    self->readable_.assign(ring_buffer__epoll_fd(self->ring_), code);
    if (code) {
        return failure(code.value(), "cannot watch the kernel's event ring: " + code.message());
    }
    asio::post(self->readable_.get_executor(), [self] { self->wait(); });
    return Result<std::shared_ptr<KernelEventStream>>(std::move(self));
}

KernelEventStream::~KernelEventStream() {
    if (readable_.is_open()) {
        readable_.release();  // ring_buffer__free closes it
    }
    if (ring_) {
        ring_buffer__free(ring_);
    }
}

void KernelEventStream::stop() {
    asio::post(readable_.get_executor(), [self = shared_from_this()] {
        self->stopped_ = true;
        std::error_code ignored;
        self->readable_.cancel(ignored);
    });
}

void KernelEventStream::wait() {
    if (stopped_) {
        return;
    }
    readable_.async_wait(asio::posix::descriptor_base::wait_read,
                         [self = shared_from_this()](const std::error_code& error) {
                             if (error || self->stopped_) {
                                 return;
                             }
                             ring_buffer__consume(self->ring_);
                             self->wait();
                         });
}

int KernelEventStream::deliver(void* context, void* data, std::size_t size) {
    auto* self = static_cast<KernelEventStream*>(context);
    if (size >= sizeof(sentorix_event) && !self->stopped_) {
        sentorix_event event;
        std::memcpy(&event, data, sizeof event);
        self->handler_(event);
    }
    return 0;
}

}  // namespace sentorix::linux_system
