#include "tunnel/ProxyConnectResponseParser.h"

#include <gtest/gtest.h>

namespace sentorix {
namespace {

using O = ProxyConnectResponseOutcome;

NSData bytes(const std::string& text) { return NSData(text.begin(), text.end()); }

O parse(const std::string& text) {
    ProxyConnectResponseParser parser;
    return parser.append(bytes(text));
}

std::string statusOf(const O& outcome) { return outcome.as<O::rejected>().statusLine.value_or("<none>"); }

TEST(ProxyConnectResponseParser, EstablishedWithAndWithoutLeftover) {
    const auto plain = parse("HTTP/1.1 200 Connection established\r\n\r\n");
    ASSERT_TRUE(plain.is<O::established>());
    EXPECT_TRUE(plain.as<O::established>().leftover.empty());

    const auto withData = parse("HTTP/1.1 200 OK\r\nProxy-Agent: x\r\n\r\n\x16\x03\x01 tunnelled\r\n\r\n");
    ASSERT_TRUE(withData.is<O::established>());
    EXPECT_EQ(withData.as<O::established>().leftover, bytes("\x16\x03\x01 tunnelled\r\n\r\n"));
}

TEST(ProxyConnectResponseParser, OneByteAtATimeNeedsMoreUntilTheLastTerminatorByte) {
    const std::string response = "HTTP/1.0 200 OK\r\nVia: proxy\r\n\r\n";
    ProxyConnectResponseParser parser;
    for (size_t i = 0; i + 1 < response.size(); ++i) {
        EXPECT_TRUE(parser.append(bytes(response.substr(i, 1))).is<O::needMoreData>()) << "byte " << i;
    }
    const auto last = parser.append(bytes(response.substr(response.size() - 1)));
    ASSERT_TRUE(last.is<O::established>());
    EXPECT_TRUE(last.as<O::established>().leftover.empty());
}

TEST(ProxyConnectResponseParser, StatusLineIsAPrefixTestOnTheTrimmedLine) {
    EXPECT_TRUE(parse("HTTP/1.0 200 OK\r\n\r\n").is<O::established>());
    EXPECT_TRUE(parse("HTTP/1.1 2000\r\n\r\n").is<O::established>());
    EXPECT_TRUE(parse("   HTTP/1.1 200 OK\r\n\r\n").is<O::established>());
    EXPECT_TRUE(parse("\xC2\xA0HTTP/1.1 200 OK\r\n\r\n").is<O::established>()) << "a no-break space is trimmed";

    const auto denied = parse("HTTP/1.1 407 Proxy Authentication Required \r\nProxy-Authenticate: Basic\r\n\r\n");
    ASSERT_TRUE(denied.is<O::rejected>());
    EXPECT_EQ(statusOf(denied), "HTTP/1.1 407 Proxy Authentication Required");
    for (const std::string line : {"HTTP/2 200", "http/1.1 200 OK", "HTTP/1.1  200 OK", "HTTP/1.1 20"}) {
        const auto outcome = parse(line + "\r\n\r\n");
        ASSERT_TRUE(outcome.is<O::rejected>()) << line;
        EXPECT_EQ(statusOf(outcome), line);
    }
    // A lone LF does not split lines: the whole text is the status line.
    EXPECT_EQ(statusOf(parse("HTTP/1.1 403 No\nHTTP/1.1 200 OK\r\n\r\n")), "HTTP/1.1 403 No\nHTTP/1.1 200 OK");
}

TEST(ProxyConnectResponseParser, InvalidResponses) {
    const auto reason = [](const O& outcome) { return outcome.as<O::invalid>().reason; };
    EXPECT_EQ(reason(parse("\r\nHTTP/1.1 200 OK\r\n\r\n")), "connect_status_line_missing");
    EXPECT_EQ(reason(parse("\r\n\r\n")), "connect_status_line_missing");
    EXPECT_EQ(reason(parse(" \t \r\n\r\n")), "connect_status_line_missing");
    EXPECT_EQ(reason(parse("HTTP/1.1 200 OK\r\nX: \xFF\r\n\r\n")), "connect_header_not_utf8");
    EXPECT_EQ(reason(parse("HTTP/1.1 200 \xC0\xAF\r\n\r\n")), "connect_header_not_utf8") << "overlong form";
    // Bytes after the terminator are tunnelled data and may be anything.
    EXPECT_TRUE(parse("HTTP/1.1 200 OK\r\n\r\n\xFF\xFE").is<O::established>());
}

TEST(ProxyConnectResponseParser, HeaderLimitIs16384BytesWithoutATerminator) {
    ProxyConnectResponseParser parser;
    const NSData chunk(4096, 'a');
    for (int i = 0; i < 4; ++i) {
        EXPECT_TRUE(parser.append(chunk).is<O::needMoreData>()) << "chunk " << i;
    }
    EXPECT_EQ(parser.buffer().size(), 16384u);
    const auto fifth = parser.append(chunk);
    ASSERT_TRUE(fifth.is<O::invalid>());
    EXPECT_EQ(fifth.as<O::invalid>().reason, "connect_header_too_large");

    ProxyConnectResponseParser oneMore;
    EXPECT_TRUE(oneMore.append(NSData(16385, 'a')).is<O::invalid>());
}

TEST(ProxyConnectResponseParser, LargeChunkWithATerminatorIsParsedNormally) {
    std::string response = "HTTP/1.1 200 OK\r\n";
    response += "X-Pad: " + std::string(19000, 'p') + "\r\n\r\n";
    response.append(20000 - response.size(), 'd');
    ASSERT_EQ(response.size(), 20000u);
    const auto outcome = parse(response);
    ASSERT_TRUE(outcome.is<O::established>());
    EXPECT_EQ(outcome.as<O::established>().leftover.size(), 20000u - (17 + 7 + 19000 + 4));
}

TEST(ProxyConnectResponseParser, TerminatorSplitAcrossChunksIsFound) {
    ProxyConnectResponseParser parser;
    EXPECT_TRUE(parser.append(bytes("HTTP/1.1 200 OK\r\n\r")).is<O::needMoreData>());
    const auto outcome = parser.append(bytes("\nrest"));
    ASSERT_TRUE(outcome.is<O::established>());
    EXPECT_EQ(outcome.as<O::established>().leftover, bytes("rest"));
}

}  // namespace
}  // namespace sentorix
