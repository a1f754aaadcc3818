#include "provider/ClientHelloServerName.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace sentorix {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Status = PeekedHostname::Status;

void append(Bytes& to, const Bytes& from) { to.insert(to.end(), from.begin(), from.end()); }
Bytes number(std::size_t value, int width) {
    Bytes out;
    for (int shift = 8 * (width - 1); shift >= 0; shift -= 8) {
        out.push_back(static_cast<std::uint8_t>(value >> shift));
    }
    return out;
}
Bytes vector(const Bytes& body, int width) {
    Bytes out = number(body.size(), width);
    append(out, body);
    return out;
}
Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes extension(std::uint16_t type, const Bytes& body) {
    Bytes out = number(type, 2);
    append(out, vector(body, 2));
    return out;
}
Bytes serverName(std::initializer_list<std::string> names) {
    Bytes list;
    for (const auto& name : names) {
        list.push_back(0);
        append(list, vector(text(name), 2));
    }
    return extension(0, vector(list, 2));
}
// A ClientHello body the way browsers shape it: GREASE first and last, GREASE among the ciphers and the
// versions, a 32-byte session id.
Bytes helloBody(const Bytes& extensions, const Bytes& sessionId = Bytes(32, 0xCD),
               const Bytes& cipherSuites = {0x7A, 0x7A, 0x13, 0x01, 0x13, 0x02, 0xC0, 0x2B},
               const Bytes& compression = {0}) {
    Bytes body = {3, 3};
    body.resize(2 + 32, 0xAB);
    append(body, vector(sessionId, 1));
    append(body, vector(cipherSuites, 2));
    append(body, vector(compression, 1));
    Bytes all = extension(0x2A2A, {});
    append(all, extensions);
    append(all, extension(43, vector({0x8A, 0x8A, 3, 4, 3, 3}, 1)));
    append(all, extension(0xFAFA, {0}));
    append(body, vector(all, 2));
    return body;
}
Bytes handshake(const Bytes& body) {
    Bytes out = {1};
    append(out, vector(body, 3));
    return out;
}
// The handshake message cut into records of the given fragment sizes; the last takes the rest.
Bytes records(const Bytes& message, std::initializer_list<std::size_t> sizes = {}, std::uint8_t minor = 1) {
    Bytes out;
    std::size_t offset = 0;
    auto size = sizes.begin();
    while (offset < message.size()) {
        const std::size_t length = size != sizes.end() ? *size++ : message.size() - offset;
        append(out, {22, 3, minor});
        append(out, vector(Bytes(message.begin() + offset, message.begin() + offset + length), 2));
        offset += length;
    }
    return out;
}
Bytes hello(const Bytes& extensions) { return records(handshake(helloBody(extensions))); }

PeekedHostname parse(const Bytes& bytes) { return ClientHelloServerName::parse(bytes); }
std::string found(const Bytes& bytes) {
    const auto result = parse(bytes);
    return result.status == Status::Found ? result.hostname : "<status " + std::to_string(int(result.status)) + ">";
}
// Every proper prefix needs more, the whole finds the name.
void expectFoundOnlyWhenWhole(const Bytes& bytes, const std::string& name) {
    for (std::size_t length = 0; length < bytes.size(); ++length) {
        ASSERT_EQ(parse(Bytes(bytes.begin(), bytes.begin() + length)).status, Status::NeedMore) << "prefix " << length;
    }
    EXPECT_EQ(found(bytes), name);
}

TEST(ClientHelloServerName, FindsTheNameInGreasedHellosAndEveryPrefixNeedsMore) {
    expectFoundOnlyWhenWhole(hello(serverName({"www.example.com"})), "www.example.com");
    EXPECT_EQ(found(hello(serverName({"WWW.Example.COM."}))), "www.example.com");
    EXPECT_EQ(found(hello(serverName({"_srv.a-b.example"}))), "_srv.a-b.example");
    for (const std::uint8_t minor : {0, 1, 3, 4}) {
        EXPECT_EQ(found(records(handshake(helloBody(serverName({"a.test"}))), {}, minor)), "a.test");
    }
    // Early data or a second message after the hello is not looked at.
    Bytes withEarlyData = hello(serverName({"a.test"}));
    append(withEarlyData, {23, 3, 3, 0, 2, 0xFF, 0xFF});
    EXPECT_EQ(found(withEarlyData), "a.test");
}

TEST(ClientHelloServerName, EncryptedClientHelloGivesTheOuterPublicName) {
    Bytes ech = {0, 0, 1, 0, 1, 0x42};  // outer, HKDF-SHA256, AES-128-GCM, config id
    append(ech, vector(Bytes(32, 0xEE), 2));
    append(ech, vector(Bytes(200, 0x99), 2));
    Bytes extensions = extension(0xFE0D, ech);
    append(extensions, serverName({"public.example"}));
    EXPECT_EQ(found(hello(extensions)), "public.example");
}

TEST(ClientHelloServerName, ReassemblesAHelloSplitAcrossRecords) {
    const Bytes message = handshake(helloBody(serverName({"split.example"})));
    expectFoundOnlyWhenWhole(records(message, {1, 2, 1, 40}), "split.example");
    expectFoundOnlyWhenWhole(records(message, {message.size() - 1}), "split.example");

    // 16 KiB of padding: more than one record can carry.
    Bytes big = serverName({"big.example"});
    append(big, extension(21, Bytes(16384, 0)));
    const Bytes bigMessage = handshake(helloBody(big));
    const Bytes twoRecords = records(bigMessage, {16384});
    ASSERT_GT(bigMessage.size(), 16384u);
    EXPECT_EQ(found(twoRecords), "big.example");
    for (const std::size_t length : {5ul, 16389ul, 16393ul, twoRecords.size() - 1}) {
        EXPECT_EQ(parse(Bytes(twoRecords.begin(), twoRecords.begin() + length)).status, Status::NeedMore) << length;
    }
    EXPECT_EQ(parse(records(bigMessage, {bigMessage.size()})).status, Status::Absent) << "fragment over 2^14";
}

TEST(ClientHelloServerName, WhatCannotBeAClientHelloIsAbsentFromItsFirstBytes) {
    for (const Bytes& start : {text("G"), text("SSH-"), Bytes{22, 2}, Bytes{23, 3, 3}, Bytes{22, 3, 1, 0, 0},
                               Bytes{22, 3, 1, 0x40, 1}, Bytes{22, 3, 1, 0, 60, 2},
                               Bytes{22, 3, 1, 0, 60, 1, 0, 0, 40}}) {
        EXPECT_EQ(parse(start).status, Status::Absent) << testing::PrintToString(start);
    }
    // A record of another type between the fragments.
    const Bytes message = handshake(helloBody(serverName({"a.test"})));
    Bytes interleaved = records(Bytes(message.begin(), message.begin() + 10));
    append(interleaved, {21, 3, 3, 0, 2, 1, 0});
    EXPECT_EQ(parse(interleaved).status, Status::Absent);
}

TEST(ClientHelloServerName, AbsentWithoutAValidServerName) {
    EXPECT_EQ(parse(hello({})).status, Status::Absent);
    EXPECT_EQ(found(hello(serverName({"first.test", "second.test"}))), "first.test");
    Bytes twice = serverName({"a.test"});
    append(twice, serverName({"b.test"}));
    EXPECT_EQ(parse(hello(twice)).status, Status::Absent) << "two server_name extensions";
    EXPECT_EQ(parse(hello(extension(0, vector({}, 2)))).status, Status::Absent) << "empty name list";
    EXPECT_EQ(parse(hello(extension(0, vector({7, 0, 1, 'x'}, 2)))).status, Status::Absent) << "only an unknown type";
    for (const std::string& name : std::vector<std::string>{"192.0.2.1", "10", "0x7f.1", "[::1]", "a..b", ".a", "a b",
                                                            std::string("a\0b", 3), "", std::string(254, 'a'),
                                                            std::string(64, 'a') + ".test"}) {
        EXPECT_EQ(parse(hello(serverName({name}))).status, Status::Absent) << name;
    }
    const std::string longest = std::string(63, 'a') + "." + std::string(63, 'b') + "." + std::string(63, 'c') + "." +
                                std::string(61, 'd');
    EXPECT_EQ(found(hello(serverName({longest + "."}))), longest);
}

TEST(ClientHelloServerName, EveryLengthIsCheckedAgainstItsContainer) {
    const Bytes good = handshake(helloBody(serverName({"a.test"})));
    ASSERT_EQ(found(records(good)), "a.test");
    const std::size_t sessionId = 4 + 34, suites = sessionId + 33, extensions = suites + 2 + 8 + 2;
    const std::size_t serverNameAt = extensions + 2 + 4;
    // Single bytes of length fields set so that they lie.
    const std::vector<std::pair<std::size_t, std::uint8_t>> lies = {
        {3, std::uint8_t(good[3] - 1)},                   // handshake shorter than its body
        {4, 2},                                           // legacy version major
        {sessionId, 33},                                  // session id over 32
        {suites + 1, 7},                                  // odd cipher suites
        {extensions + 1, std::uint8_t(good[extensions + 1] - 1)},  // extensions short of the body's end
        {extensions + 4, 0x40},                           // first extension overruns the block
        {serverNameAt + 5, std::uint8_t(good[serverNameAt + 5] + 1)},       // name list overruns the extension
        {serverNameAt + 8, std::uint8_t(good[serverNameAt + 8] + 1)},       // host_name overruns the list
    };
    for (const auto& [offset, value] : lies) {
        Bytes bad = good;
        bad[offset] = value;
        EXPECT_EQ(parse(records(bad)).status, Status::Absent) << "byte " << offset;
    }
    const Bytes sni = serverName({"a.test"});
    for (const Bytes& body : {helloBody(sni, Bytes(33, 1)), helloBody(sni, Bytes(32, 1), {0x13, 0x01, 0x13}),
                              helloBody(sni, {}, {}), helloBody(sni, {}, {0x13, 0x01}, {})}) {
        EXPECT_EQ(parse(records(handshake(body))).status, Status::Absent) << testing::PrintToString(body);
    }
    Bytes trailing = helloBody(sni);
    trailing.push_back(0);
    EXPECT_EQ(parse(records(handshake(trailing))).status, Status::Absent) << "a byte after the extensions";
    Bytes listThenJunk = vector({0, 0, 1, 'a'}, 2);
    listThenJunk.push_back(0);
    EXPECT_EQ(parse(hello(extension(0, listThenJunk))).status, Status::Absent) << "a byte after the name list";
    EXPECT_EQ(parse(hello(serverName({"a.test", ""}))).status, Status::Absent) << "an empty second name";

    Bytes longer = good;
    ++longer[3];
    EXPECT_EQ(parse(records(longer)).status, Status::NeedMore) << "the rest may still come";
}

TEST(ClientHelloServerName, AHelloThatCannotEndWithinThePeekLimitIsAbsent) {
    EXPECT_EQ(parse(Bytes{22, 3, 1, 0, 4, 1, 0, 0x44, 0x01}).status, Status::Absent) << "declared too long";
    // Fits as a message, but 1-byte records make the stream too long for the limit.
    Bytes padded = serverName({"a.test"});
    append(padded, extension(21, Bytes(3000, 0)));
    const Bytes message = handshake(helloBody(padded));
    Bytes tiny;
    for (const std::uint8_t byte : message) {
        append(tiny, {22, 3, 1, 0, 1, byte});
    }
    ASSERT_GT(tiny.size(), ClientHelloServerName::maxPeekBytes);
    EXPECT_EQ(parse(tiny).status, Status::Absent);
    EXPECT_EQ(parse(Bytes(tiny.begin(), tiny.begin() + ClientHelloServerName::maxPeekBytes)).status, Status::Absent);
    EXPECT_EQ(parse(Bytes(tiny.begin(), tiny.begin() + 6000)).status, Status::NeedMore);
}

}  // namespace
}  // namespace sentorix
