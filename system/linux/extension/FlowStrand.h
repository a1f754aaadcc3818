#pragma once

#include "DispatchQueue.h"

#include <asio/basic_stream_socket.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/strand.hpp>
#include <asio/thread_pool.hpp>

namespace sentorix::linux_system {

// One strand per intercepted connection: the look at its first bytes, its flow, its connection to the
// proxy and its relay all run on it. A step handed from one of them to the next then runs on the thread
// at hand instead of waking another, which every relayed flow's first byte would wait for.
using FlowStrand = asio::strand<asio::thread_pool::executor_type>;

// A socket typed on the strand: handing it from the flow to its relay moves its registration with the
// reactor along, where giving up the descriptor and taking it again would cost two system calls each.
using FlowSocket = asio::basic_stream_socket<asio::ip::tcp, FlowStrand>;

inline FlowStrand newFlowStrand() { return asio::make_strand(DispatchQueue::pool().get_executor()); }

}  // namespace sentorix::linux_system
