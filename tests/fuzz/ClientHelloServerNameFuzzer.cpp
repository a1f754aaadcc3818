// libFuzzer target: the ClientHello server-name reader on a stream and on growing prefixes of it. The
// first input byte picks the mode and seeds the cuts. Even: the rest is the stream as it came. Odd: the
// rest is a ClientHello body, framed here into a handshake message and cut into records of random
// sizes, so that mutations spend their time on the hello and not on the framing; the reassembled
// message must then read as it does in a single record.

#include "PeekedHostnameFuzzing.h"
#include "provider/ClientHelloServerName.h"

#include <vector>

namespace {

using sentorix::ClientHelloServerName;
using sentorix::PeekedHostname;
using namespace sentorix::fuzzing;

std::vector<std::uint8_t> inRecords(std::span<const std::uint8_t> message, std::uint32_t& random, bool randomSizes) {
    std::vector<std::uint8_t> stream;
    const std::uint8_t minor = static_cast<std::uint8_t>(nextRandom(random) % 5);
    std::size_t offset = 0;
    while (offset < message.size()) {
        // Tiny fragments as often as large ones: they are where reassembly goes wrong.
        const std::size_t bound = nextRandom(random) % 2 == 0 ? 8 : 16384;
        const std::size_t size =
            std::min(message.size() - offset, randomSizes ? 1 + nextRandom(random) % bound : std::size_t{16384});
        stream.insert(stream.end(),
                      {22, 3, minor, static_cast<std::uint8_t>(size >> 8), static_cast<std::uint8_t>(size)});
        stream.insert(stream.end(), message.begin() + offset, message.begin() + offset + size);
        offset += size;
    }
    return stream;
}

PeekedHostname parse(std::span<const std::uint8_t> bytes) { return ClientHelloServerName::parse(bytes); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    std::uint32_t random = data[0] * 2654435761u + 1;
    const std::span<const std::uint8_t> rest(data + 1, size - 1);
    if (data[0] % 2 == 0) {
        checkPeeks(parse, rest, ClientHelloServerName::maxPeekBytes, random);
        return 0;
    }
    if (rest.size() >= (1u << 24)) {
        return 0;
    }
    std::vector<std::uint8_t> message = {1};
    for (const int shift : {16, 8, 0}) {
        message.push_back(static_cast<std::uint8_t>(rest.size() >> shift));
    }
    message.insert(message.end(), rest.begin(), rest.end());
    const std::vector<std::uint8_t> cut = inRecords(message, random, true);
    const PeekedHostname split = checkPeeks(parse, cut, ClientHelloServerName::maxPeekBytes, random);
    if (message.size() <= 16384 && cut.size() <= ClientHelloServerName::maxPeekBytes) {
        const PeekedHostname whole = parse(inRecords(message, random, false));
        check(split.status == whole.status && split.hostname == whole.hostname,
              "a hello cut into records reads otherwise than in one");
    }
    return 0;
}
