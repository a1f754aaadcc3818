#include "SocketReader.h"

#include <algorithm>

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

void readWhenReadable(asio::ip::tcp::socket& socket, std::size_t maximum,
                      std::function<void(NSData, OptionalError)> completion) {
    socket.async_wait(asio::socket_base::wait_read, [&socket, maximum, completion = std::move(completion)](
                                                        const std::error_code& waitError) mutable {
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
        } else if (error == asio::error::would_block) {
            readWhenReadable(socket, maximum, std::move(completion));  // woken for nothing
        } else if (error) {
            completion({}, errorFrom(error));
        } else {
            data.resize(received);
            completion(std::move(data), std::nullopt);
        }
    });
}

}  // namespace sentorix::linux_system
