#include "ClientHelloServerName.h"

#include "PeekedHostnameValidation.h"

#include <algorithm>
#include <optional>
#include <vector>

namespace sentorix {

namespace {

using Bytes = std::span<const std::uint8_t>;

constexpr std::uint8_t HandshakeContentType = 22;
// Every SSL 3 and TLS version, in records and in the hello, is 3.x.
constexpr std::uint8_t MajorVersion = 3;
constexpr std::size_t RecordHeaderLength = 5;
constexpr std::size_t MaxFragmentLength = 16384;
constexpr std::uint8_t ClientHelloType = 1;
constexpr std::size_t HandshakeHeaderLength = 4;
// Version, random, three empty-or-minimal vectors: a body shorter than this cannot be a ClientHello.
constexpr std::size_t MinClientHelloLength = 2 + 32 + 1 + 2 + 2 + 1 + 1;
constexpr std::size_t MaxSessionIdLength = 32;
constexpr std::uint16_t ServerNameExtension = 0;
constexpr std::uint8_t HostNameType = 0;

PeekedHostname needMore() { return {PeekedHostname::Status::NeedMore, {}}; }
PeekedHostname absent() { return {PeekedHostname::Status::Absent, {}}; }

// Reads big-endian fields; a read past the end yields zeros and leaves the reader failed, so a parse
// checks once per structure instead of before every field.
class Reader {
public:
    explicit Reader(Bytes bytes) : bytes_(bytes) {}

    bool ok() const { return ok_; }
    bool atEnd() const { return bytes_.empty(); }

    Bytes take(std::size_t length) {
        if (!ok_ || length > bytes_.size()) {
            ok_ = false;
            bytes_ = {};
            return {};
        }
        const Bytes taken = bytes_.first(length);
        bytes_ = bytes_.subspan(length);
        return taken;
    }
    std::size_t u8() { return number(1); }
    std::size_t u16() { return number(2); }
    Bytes vector8() { return take(u8()); }
    Bytes vector16() { return take(u16()); }

private:
    std::size_t number(std::size_t width) {
        std::size_t value = 0;
        for (const std::uint8_t byte : take(width)) {
            value = value << 8 | byte;
        }
        return value;
    }

    Bytes bytes_;
    bool ok_ = true;
};

PeekedHostname found(Bytes name) {
    const auto hostname = validatedPeekedHostname({reinterpret_cast<const char*>(name.data()), name.size()});
    if (!hostname) {
        return absent();
    }
    return {PeekedHostname::Status::Found, *hostname};
}

// The first host_name of a server_name extension's body.
PeekedHostname serverName(Bytes extension) {
    Reader outer(extension);
    Reader list(outer.vector16());
    if (!outer.ok() || !outer.atEnd()) {
        return absent();
    }
    std::optional<Bytes> hostName;
    while (!list.atEnd()) {
        const std::size_t type = list.u8();
        // Every name type begins with a 16-bit length, so unknown ones can be stepped over.
        const Bytes name = list.vector16();
        if (!list.ok() || name.empty()) {
            return absent();
        }
        if (type == HostNameType && !hostName) {
            hostName = name;
        }
    }
    return hostName ? found(*hostName) : absent();
}

PeekedHostname serverNameOfClientHello(Bytes body) {
    Reader hello(body);
    if (hello.u8() != MajorVersion) {
        return absent();
    }
    hello.take(1 + 32);
    const Bytes sessionId = hello.vector8();
    const Bytes cipherSuites = hello.vector16();
    const Bytes compressionMethods = hello.vector8();
    if (!hello.ok() || sessionId.size() > MaxSessionIdLength || cipherSuites.empty() || cipherSuites.size() % 2 != 0 ||
        compressionMethods.empty()) {
        return absent();
    }
    Reader extensions(hello.vector16());
    if (!hello.ok() || !hello.atEnd()) {
        return absent();
    }
    // Every extension is framed before the name is believed: a hello that lies about one length may
    // lie about the others. GREASE and ECH are unknown types here and are stepped over.
    std::optional<Bytes> serverNameBody;
    while (!extensions.atEnd()) {
        const std::size_t type = extensions.u16();
        const Bytes body = extensions.vector16();
        if (!extensions.ok()) {
            return absent();
        }
        if (type == ServerNameExtension) {
            if (serverNameBody) {
                return absent();
            }
            serverNameBody = body;
        }
    }
    return serverNameBody ? serverName(*serverNameBody) : absent();
}

}  // namespace

PeekedHostname ClientHelloServerName::parse(std::span<const std::uint8_t> bytes) {
    // The handshake message is read from the fragments of consecutive handshake records. It is viewed
    // in place while it lies in the first fragment, the usual case, and copied only once it spans
    // several; the copy holds bytes that are present, never what a length field promises.
    Bytes single;
    std::vector<std::uint8_t> joined;
    std::size_t messageLength = 0;  // header included; 0 until the header is in
    for (std::size_t position = 0, records = 0;; ++records) {
        const Bytes record = bytes.subspan(position);
        if (!record.empty() && record[0] != HandshakeContentType) {
            return absent();
        }
        if (record.size() > 1 && record[1] != MajorVersion) {
            return absent();
        }
        if (record.size() < RecordHeaderLength) {
            return bytes.size() >= maxPeekBytes ? absent() : needMore();
        }
        const std::size_t fragmentLength = std::size_t{record[3]} << 8 | record[4];
        if (fragmentLength == 0 || fragmentLength > MaxFragmentLength) {
            return absent();
        }
        const std::size_t gathered = joined.empty() ? single.size() : joined.size();
        const std::size_t wanted =
            messageLength == 0 ? fragmentLength : std::min(fragmentLength, messageLength - gathered);
        const Bytes present = record.subspan(RecordHeaderLength);
        const Bytes fragment = present.first(std::min(wanted, present.size()));
        if (records == 0) {
            single = fragment;
        } else {
            if (joined.empty()) {
                joined.assign(single.begin(), single.end());
            }
            joined.insert(joined.end(), fragment.begin(), fragment.end());
        }
        const Bytes message = joined.empty() ? single : Bytes(joined);
        // Where the last byte read so far sits in the stream, plus one.
        const std::size_t streamEnd = position + RecordHeaderLength + fragment.size();
        if (!message.empty() && message[0] != ClientHelloType) {
            return absent();
        }
        if (messageLength == 0 && message.size() >= HandshakeHeaderLength) {
            const std::size_t bodyLength = std::size_t{message[1]} << 16 | std::size_t{message[2]} << 8 | message[3];
            messageLength = HandshakeHeaderLength + bodyLength;
            // The hello ends no earlier than if all the rest followed in this record.
            if (bodyLength < MinClientHelloLength || streamEnd + messageLength > maxPeekBytes + message.size()) {
                return absent();
            }
        }
        if (messageLength != 0 && message.size() >= messageLength) {
            // Bytes of the record past the hello do not count against the limit.
            if (streamEnd > maxPeekBytes + (message.size() - messageLength)) {
                return absent();
            }
            return serverNameOfClientHello(message.first(messageLength).subspan(HandshakeHeaderLength));
        }
        if (fragment.size() < wanted) {
            return bytes.size() >= maxPeekBytes ? absent() : needMore();
        }
        position += RecordHeaderLength + fragmentLength;
    }
}

}  // namespace sentorix
