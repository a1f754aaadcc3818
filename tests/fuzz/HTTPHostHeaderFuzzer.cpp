// libFuzzer target: the HTTP Host reader on a request head and on growing prefixes of it. The first
// input byte seeds the cuts; the rest is the stream.

#include "PeekedHostnameFuzzing.h"
#include "provider/HTTPHostHeader.h"

#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace sentorix;
    using namespace sentorix::fuzzing;
    if (size == 0) {
        return 0;
    }
    const std::span<const std::uint8_t> stream(data + 1, size - 1);
    const PeekedHostname result = checkPeeks([](auto bytes) { return HTTPHostHeader::parse(bytes); }, stream,
                                             HTTPHostHeader::maxPeekBytes, data[0] * 2654435761u + 1);
    if (result.status == PeekedHostname::Status::Found) {
        // A found name was in the head, in some letter case, and the head ended in time.
        std::string lowered(reinterpret_cast<const char*>(stream.data()), stream.size());
        for (char& c : lowered) {
            c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        }
        const auto end = std::min(lowered.find("\n\n"), lowered.find("\n\r\n"));
        check(end != std::string::npos && end < HTTPHostHeader::maxPeekBytes, "found before the head ended");
        check(std::string_view(lowered).substr(0, end).find(result.hostname) != std::string_view::npos,
              "found a name that is not in the head");
    }
    return 0;
}
