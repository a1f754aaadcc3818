#include "SocketReader.h"

#include <algorithm>
#include <memory>

namespace sentorix::linux_system {

NSError errorFrom(const std::error_code& error) {
    if (error.category() == asio::system_category() || error.category() == std::system_category()) {
        return NSError::posix(error.value(), error.message());
    }
    if (error == asio::error::eof) {
        return NSError::posix(ECONNRESET, error.message());
    }
    return NSError::posix(EIO, error.message());
}

void readWhenReadable(FlowSocket& socket, std::uint8_t& peekByte, std::size_t maximum,
                      std::function<void(NSData, OptionalError)> completion) {
    if (maximum <= DirectReadMaximum) {
        // A buffer this small may be held while waiting: the receive is the wait, one call in all.
        auto data = std::make_unique<NSData>(std::min(maximum, DirectReadBytes));
        const auto buffer = asio::buffer(*data);
        socket.async_receive(buffer, [data = std::move(data), completion = std::move(completion)](
                                         const std::error_code& error, std::size_t received) mutable {
            if (error == asio::error::eof) {
                completion({}, std::nullopt);
            } else if (error) {
                completion({}, errorFrom(error));
            } else {
                data->resize(received);
                completion(std::move(*data), std::nullopt);
            }
        });
        return;
    }
    // Wait by peeking at one byte: unlike async_wait, a receive first tries the socket, so readiness
    // that arrived before the wait (an edge the reactor has already seen) is not lost.
    socket.async_receive(asio::buffer(&peekByte, 1), asio::socket_base::message_peek,
                         [&socket, maximum, completion = std::move(completion)](const std::error_code& waitError,
                                                                                std::size_t) mutable {
                             if (waitError == asio::error::eof) {
                                 completion({}, std::nullopt);
                                 return;
                             }
                             if (waitError) {
                                 completion({}, errorFrom(waitError));
                                 return;
                             }
                             std::error_code error;
                             const std::size_t available = socket.available(error);
                             NSData data(std::clamp<std::size_t>(error ? 1 : available, 1, maximum));
                             const std::size_t received = socket.read_some(asio::buffer(data), error);
                             if (error == asio::error::eof) {
                                 completion({}, std::nullopt);
                             } else if (error) {
                                 completion({}, errorFrom(error));
                             } else {
                                 data.resize(received);
                                 completion(std::move(data), std::nullopt);
                             }
                         });
}

}  // namespace sentorix::linux_system
