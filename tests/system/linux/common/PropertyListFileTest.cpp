#include "PropertyListBounds.h"
#include "PropertyListFile.h"
#include "UnixFrameServer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace sentorix::linux_system {
namespace {

using namespace std::string_literals;
using testing::TempDir;
using Bounds = PropertyListBounds;

std::string repeat(const std::string& text, std::size_t times) {
    std::string out;
    for (std::size_t i = 0; i < times; ++i) {
        out += text;
    }
    return out;
}

std::string nestedXml(std::size_t depth, const std::string& open = "<array>", const std::string& close = "</array>",
                      const std::string& innermost = "<array/>") {
    return "<plist>" + repeat(open, depth - 1) + innermost + repeat(close, depth - 1) + "</plist>";
}

void appendBigEndian(std::string& out, std::uint64_t value, int width) {
    for (int shift = 8 * (width - 1); shift >= 0; shift -= 8) {
        out += static_cast<char>(value >> shift);
    }
}

// A binary property list of encoded objects, object 0 the root, with 4-byte offsets and references.
std::string binary(const std::vector<std::string>& objects) {
    std::string out = "bplist00";
    std::string table;
    for (const auto& object : objects) {
        appendBigEndian(table, out.size(), 4);
        out += object;
    }
    const std::size_t tableOffset = out.size();
    out += table + std::string(6, '\0') + "\x04\x04";
    appendBigEndian(out, objects.size(), 8);
    appendBigEndian(out, 0, 8);
    appendBigEndian(out, tableOffset, 8);
    return out;
}

std::string container(char type, const std::vector<std::uint32_t>& references) {
    std::string out(1, static_cast<char>(type | 0x0F));
    out += '\x12';
    appendBigEndian(out, type == '\xD0' ? references.size() / 2 : references.size(), 4);
    for (const auto reference : references) {
        appendBigEndian(out, reference, 4);
    }
    return out;
}

// Arrays each holding the next, the first being object `first`.
std::vector<std::string> chain(std::uint32_t depth, std::uint32_t first = 0) {
    std::vector<std::string> objects;
    for (std::uint32_t i = 1; i < depth; ++i) {
        objects.push_back(container('\xA0', {first + i}));
    }
    objects.push_back(container('\xA0', {}));
    return objects;
}

bool parses(const std::string& bytes) { return PropertyListFile::parse(bytes, "bytes").ok(); }

// The value read, or nothing: what the assertions compare.
std::optional<PropertyListValue> valueOf(linux_system::Result<PropertyListValue> read) {
    return read ? std::optional<PropertyListValue>(std::move(*read)) : std::nullopt;
}

TEST(PropertyListFile, RefusesNestingBeyondTheLimitWithoutCrashing) {
    TempDir directory;
    const std::string path = directory.file("configurations.plist");
    std::ofstream(path) << nestedXml(60000);
    const auto loaded = PropertyListFile::load(path);
    EXPECT_FALSE(loaded);
    ASSERT_FALSE(loaded.ok());
    EXPECT_EQ(loaded.error().code(), EINVAL);
    EXPECT_EQ(loaded.error().localizedDescription(), path + " is not a property list");
    // libplist 2.2's binary parser overflows an 8 MiB stack at about 87,000 levels.
    EXPECT_FALSE(parses(binary(chain(200000))));

    for (const auto& [depth, accepted] : {std::pair{100u, true}, std::pair{128u, true}, std::pair{129u, false}}) {
        EXPECT_EQ(parses(nestedXml(depth)), accepted) << depth;
        EXPECT_EQ(parses(nestedXml(depth, "<dict><key>k</key>", "</dict>", "<dict/>")), accepted) << depth;
        EXPECT_EQ(parses(binary(chain(depth))), accepted) << depth;
    }
}

TEST(PropertyListFile, RefusesFilesBeyondTheSizeLimit) {
    TempDir directory;
    const std::string path = directory.file("large.plist");
    const std::string value = "<plist><true/></plist>";
    for (const auto& [size, accepted] : {std::pair{Bounds::MaxBytes, true}, std::pair{Bounds::MaxBytes + 1, false}}) {
        std::ofstream(path) << value << std::string(size - value.size(), ' ');
        EXPECT_EQ(PropertyListFile::load(path).ok(), accepted) << size;
    }
}

TEST(PropertyListBounds, MarkupCannotHideNesting) {
    const std::string deep = repeat("<array>", 129);
    for (const std::string& trick : {
             "<!-- comment -->" + deep,
             "<![CDATA[ data ]]>" + deep,
             R"(<?pi a="?><!--" ?>)" + deep + "-->",       // libplist honours the quotes
             R"(<?pi a='"' ?><!-- " ?>)" + deep + "-->",  // but only double ones
             repeat(R"(<array a="/>">)", 129),            // opens, not empty
             "<!DOCTYPE x [ a> <!-- ]>" + deep + "-->",  // libplist skips to "]>"
             "<\0a\0r\0r\0a\0y\0>\0"s,  // UTF-16
         }) {
        EXPECT_FALSE(Bounds::accepts(trick)) << trick;
    }
    // What comments and character data hold is no markup.
    EXPECT_TRUE(parses("<!--" + deep + "--><plist><string><![CDATA[" + deep + "]]></string></plist>"));
}

TEST(PropertyListBounds, BinaryReferencesAreFollowedAsLibplistFollowsThem) {
    const std::string leaf = "\x09";
    EXPECT_FALSE(Bounds::accepts(binary({container('\xA0', {0})}))) << "a cycle";
    EXPECT_FALSE(Bounds::accepts(binary({container('\xA0', {1}), container('\xA0', {7})}))) << "no such object";
    // Each level refers twice to the next: 2^40 nodes for libplist from a few hundred bytes.
    const auto doubling = [&](std::uint32_t levels) {
        std::vector<std::string> objects;
        for (std::uint32_t i = 0; i < levels; ++i) {
            objects.push_back(container('\xA0', {i + 1, i + 1}));
        }
        objects.push_back(leaf);
        return binary(objects);
    };
    EXPECT_FALSE(Bounds::accepts(doubling(40)));
    EXPECT_TRUE(Bounds::accepts(doubling(10))) << "2^10 nodes are fine";
    // A dictionary's keys are parsed before their type is checked.
    std::vector<std::string> keyed{container('\xD0', {1, 129})};
    for (auto& object : chain(128, 1)) {
        keyed.push_back(object);
    }
    keyed.push_back(leaf);
    EXPECT_FALSE(Bounds::accepts(binary(keyed)));
    // UTF-16 text is read, but not U+0000: libplist's getters assert on it, aborting the process.
    EXPECT_EQ(valueOf(PropertyListFile::parse(binary({"\x61\0\xe9"s}), "bytes")), PropertyListValue("é"));
    EXPECT_FALSE(parses(binary({container('\xA0', {1, 2}), "\x61\0a"s, "\x62\0a\0\0"s})));
}

TEST(PropertyListFile, SaveRefusesTextXmlCannotCarryAndKeepsTheFile) {
    TempDir directory;
    const std::string path = directory.file("configurations.plist");
    ASSERT_TRUE(PropertyListFile::save(path, ProviderConfiguration{{"kept", true}}));
    // Not UTF-8, a control character, NUL, U+FFFE, a surrogate; in a nested string or in a key.
    for (const std::string& text : {"\xff"s, "a\x01z"s, "nul\0"s, "\xEF\xBF\xBE"s, "\xED\xA0\x80"s}) {
        const PropertyListValue::Array list{text};
        for (const auto& value : {PropertyListValue(ProviderConfiguration{{"k", list}}),
                                  PropertyListValue(ProviderConfiguration{{text, 1}})}) {
            const auto saved = PropertyListFile::save(path, value);
            EXPECT_FALSE(saved);
            ASSERT_FALSE(saved.ok());
            const NSError& refused = saved.error();
            EXPECT_EQ(refused.code(), EILSEQ);
            EXPECT_EQ(refused.localizedDescription(), "Cannot write " + path +
                                                           ": it would hold text that is not valid UTF-8 or has "
                                                           "control characters");
        }
    }
    EXPECT_EQ(valueOf(PropertyListFile::load(path)), PropertyListValue(ProviderConfiguration{{"kept", true}}));
    const std::filesystem::directory_iterator files(directory.path());
    EXPECT_EQ(std::distance(begin(files), end(files)), 1) << "no temporary left";
}

TEST(PropertyListFile, ValuesSurviveARoundTripAndBinaryFilesRead) {
    TempDir directory;
    const std::string path = directory.file("configurations.plist");
    const PropertyListValue::Array list{1, 2.5, false};
    const ProviderConfiguration values{{"text", "tab\tline\nreturn\r ünï € 𝄞 <&>"},
                                       {"nested", ProviderConfiguration{{"list", list}}}};
    ASSERT_TRUE(PropertyListFile::save(path, values));
    EXPECT_EQ(valueOf(PropertyListFile::load(path)), PropertyListValue(values));
    // As Python's plistlib writes {"a": [1, "x"], "b": {"a": true}}: one-byte references, a shared key.
    const std::string written("bplist00\xd2\x01\x02\x03\x06\x51\x61\x51\x62\xa2\x04\x05\x10\x01\x51\x78\xd1\x01\x07"
                              "\x09\x08\x0d\x0f\x11\x14\x16\x18\x1b\0\0\0\0\0\0\x01\x01\0\0\0\0\0\0\0\x08\0\0\0\0\0\0"
                              "\0\0\0\0\0\0\0\0\0\x1c",
                              68);
    const ProviderConfiguration expected{{"a", PropertyListValue::Array{1, "x"}},
                                         {"b", ProviderConfiguration{{"a", true}}}};
    EXPECT_EQ(valueOf(PropertyListFile::parse(written, "bytes")), PropertyListValue(expected));
}

}  // namespace
}  // namespace sentorix::linux_system
