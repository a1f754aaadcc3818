// libFuzzer target: the response parser fed in random chunkings. The first input byte seeds the chunk
// sizes; the rest is the proxy's answer.

#include "tunnel/ProxyConnectResponseParser.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

const std::uint8_t Terminator[] = {'\r', '\n', '\r', '\n'};

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "parser property broken: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace sentorix;
    using O = ProxyConnectResponseOutcome;
    if (size == 0) {
        return 0;
    }
    std::uint32_t random = data[0] * 2654435761u + 1;
    const std::uint8_t* input = data + 1;
    const std::size_t length = size - 1;
    const std::uint8_t* terminator = std::search(input, input + length, std::begin(Terminator), std::end(Terminator));

    ProxyConnectResponseParser parser;
    std::size_t offset = 0;
    while (offset < length) {
        random = random * 1103515245u + 12345u;
        const std::size_t chunk = std::min<std::size_t>(length - offset, 1 + (random >> 16) % 4096);
        const O outcome = parser.append(NSData(input + offset, input + offset + chunk));
        offset += chunk;
        const bool terminatorSeen = terminator + 4 <= input + offset;
        if (outcome.is<O::needMoreData>()) {
            check(!terminatorSeen, "needMoreData after the terminator arrived");
            check(offset <= std::size_t(ProxyConnectResponseParser::maxHeaderBytes), "needMoreData past the limit");
            continue;
        }
        if (outcome.is<O::invalid>() && outcome.as<O::invalid>().reason == "connect_header_too_large") {
            check(!terminatorSeen && offset > std::size_t(ProxyConnectResponseParser::maxHeaderBytes),
                  "too large although the header ended in time");
            return 0;
        }
        check(terminatorSeen, "a final outcome before the terminator");
        if (outcome.is<O::established>()) {
            const NSData expected(terminator + 4, input + offset);
            check(outcome.as<O::established>().leftover == expected,
                  "leftover is not exactly the bytes after the first terminator");
        }
        if (outcome.is<O::rejected>()) {
            const auto& line = outcome.as<O::rejected>().statusLine;
            check(line && !line->empty(), "rejected without a status line");
        }
        return 0;  // the tunnel never appends after a final outcome
    }
    return 0;
}
