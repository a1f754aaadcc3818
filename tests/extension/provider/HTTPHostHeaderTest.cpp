#include "provider/HTTPHostHeader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace sentorix {
namespace {

using Status = PeekedHostname::Status;

PeekedHostname parse(std::string_view text) {
    return HTTPHostHeader::parse({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
}
std::string found(std::string_view text) {
    const auto result = parse(text);
    return result.status == Status::Found ? result.hostname : "<status " + std::to_string(int(result.status)) + ">";
}
std::string withHost(const std::string& host) { return "GET / HTTP/1.1\r\nHost: " + host + "\r\n\r\n"; }

TEST(HTTPHostHeader, EveryPrefixOfAHeadNeedsMoreAndTheWholeFindsTheHost) {
    const std::string head = "POST /upload?x=1 HTTP/1.1\r\nUser-Agent: curl/8.5\r\nHost: api.example.com:8080\r\n"
                             "Accept: */*\r\nContent-Length: 4\r\n\r\n";
    for (std::size_t length = 0; length < head.size(); ++length) {
        ASSERT_EQ(parse(head.substr(0, length)).status, Status::NeedMore) << head.substr(0, length);
    }
    EXPECT_EQ(found(head), "api.example.com");
    EXPECT_EQ(found(head + "body"), "api.example.com");
    EXPECT_EQ(found("GET / HTTP/1.0\nhOsT:\t Example.ORG. \t\n\n"), "example.org") << "bare LFs, any case, OWS";
    EXPECT_EQ(found(withHost("_a-b.example:")), "_a-b.example");
}

TEST(HTTPHostHeader, TheHostMustBeANameNotAnAddress) {
    const std::vector<std::string> hosts = {"[::1]:8080", "[2001:db8::1]", "192.0.2.1:80", "10", "0x7f.1", "a.0x1F",
                                            "", "a b", "a..b", "ex%41mple.com", "example.com:http", "user@example.com",
                                            std::string(254, 'a')};
    for (const std::string& host : hosts) {
        EXPECT_EQ(parse(withHost(host)).status, Status::Absent) << host;
    }
}

TEST(HTTPHostHeader, AbsoluteFormTargetNamesTheHostWhenItAgrees) {
    EXPECT_EQ(found("GET http://Proxy.Example:3128/a HTTP/1.1\r\nAccept: */*\r\n\r\n"), "proxy.example");
    EXPECT_EQ(found("GET HTTPS://a.test?q HTTP/1.1\r\nHost: A.test:443\r\n\r\n"), "a.test");
    EXPECT_EQ(parse("GET http://a.test/ HTTP/1.1\r\nHost: b.test\r\n\r\n").status, Status::Absent);
    EXPECT_EQ(parse("GET http://a.test:80@b.test/ HTTP/1.1\r\n").status, Status::Absent) << "decided on this line";
    EXPECT_EQ(parse("GET http://[::1]/ HTTP/1.1\r\n").status, Status::Absent);
    EXPECT_EQ(found("GET ftp://a.test/ HTTP/1.1\r\nHost: b.test\r\n\r\n"), "b.test");
}

TEST(HTTPHostHeader, NoHostOrTwoHostsIsAbsent) {
    EXPECT_EQ(parse("GET / HTTP/1.1\r\nAccept: */*\r\n\r\n").status, Status::Absent);
    EXPECT_EQ(parse("GET / HTTP/1.0\r\n\r\n").status, Status::Absent);
    EXPECT_EQ(parse("GET / HTTP/1.1\r\nHost: a.test\r\nX: 1\r\nhost: a.test\r\n").status, Status::Absent)
        << "decided on the second Host line, before the head ends";
}

TEST(HTTPHostHeader, OtherProtocolsAreAbsentFromTheirFirstBytes) {
    const std::vector<std::string> starts = {
        "SSH-", "SSH-2.0-OpenSSH_9.6\r\n", "\x16\x03\x01", "get / HTTP/1.1\r\n", " GET", "*1\r\n$4\r\nPING\r\n",
        "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n", "GET  / HTTP/1.1", "GET / HTTP/1.1x", "GET / HTTP/1.x",
        "GET / HTTP/1.1\r\r\n", "GET /\x80 HTTP/1.1", "ABCDEFGHIJKLMNOPQRSTU", std::string("\0\0\0\x08\x04\xD2\x16\x2F", 8)};
    for (const std::string& start : starts) {
        EXPECT_EQ(parse(start).status, Status::Absent) << testing::PrintToString(start);
    }
    EXPECT_EQ(parse("ABCDEFGHIJKLMNOPQRST").status, Status::NeedMore) << "twenty letters may still be a method";
}

TEST(HTTPHostHeader, MalformedFieldLinesAreAbsent) {
    for (const std::string line : {"Host : a.test", " Host: a.test", "X: 1\r\n folded", "Host: a\x01.test", "no colon",
                                    ": empty name", "X: a\rb"}) {
        EXPECT_EQ(parse("GET / HTTP/1.1\r\n" + line + "\r\nHost: a.test\r\n\r\n").status, Status::Absent) << line;
    }
}

TEST(HTTPHostHeader, AHeadLongerThanTheLimitIsAbsent) {
    const std::string start = "GET / HTTP/1.1\r\nHost: a.test\r\nX: ";
    const std::string end = "\r\n\r\n";
    const std::size_t filler = HTTPHostHeader::maxPeekBytes - start.size() - end.size();
    EXPECT_EQ(found(start + std::string(filler, 'x') + end), "a.test");
    const std::string over = start + std::string(filler + 1, 'x') + end;
    EXPECT_EQ(parse(over).status, Status::Absent);
    EXPECT_EQ(parse(over.substr(0, HTTPHostHeader::maxPeekBytes)).status, Status::Absent);
    EXPECT_EQ(parse(over.substr(0, HTTPHostHeader::maxPeekBytes - 1)).status, Status::NeedMore);
}

}  // namespace
}  // namespace sentorix
