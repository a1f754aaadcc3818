#include "PropertyListBounds.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

namespace sentorix::linux_system {

namespace {

constexpr std::string_view BinaryMagic = "bplist00";
constexpr std::size_t NotFound = std::string_view::npos;

std::size_t after(std::size_t position, std::size_t length) {
    return position == NotFound ? NotFound : position + length;
}

// Where `terminator` ends the markup that starts at `from`, or NotFound to refuse. libplist honours
// double quotes only; quoted text holding no '<', '>' or quote of the other kind makes the end the first
// terminator in the bytes, whichever quotes a parser honours.
std::size_t markupEnd(std::string_view text, std::size_t from, std::string_view terminator,
                      std::string_view refused) {
    char quote = 0;
    for (std::size_t i = from; i < text.size(); ++i) {
        const char c = text[i];
        if (quote != 0) {
            if (c == quote) {
                quote = 0;
            } else if (c == '<' || c == '>' || c == '"' || c == '\'') {
                return NotFound;
            }
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (text.substr(i).starts_with(terminator)) {
            return i;
        } else if (c == '<' || refused.find(c) != NotFound) {
            return NotFound;
        }
    }
    return NotFound;
}

std::uint64_t bigEndian(std::string_view bytes, std::size_t at, std::size_t width) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i) {
        value = (value << 8) | static_cast<std::uint8_t>(bytes[at + i]);
    }
    return value;
}

}  // namespace

bool PropertyListBounds::isBinary(std::string_view bytes) {
    return bytes.starts_with(BinaryMagic);
}

bool PropertyListBounds::accepts(std::string_view bytes) {
    if (bytes.empty() || bytes.size() > MaxBytes) {
        return false;
    }
    return isBinary(bytes) ? binaryAccepts(bytes) : xmlAccepts(bytes);
}

bool PropertyListBounds::xmlAccepts(std::string_view text) {
    // UTF-16 or UTF-32 text would hide its markup from a scan of bytes; XML 1.0 has no NUL either.
    if (text.find('\0') != NotFound) {
        return false;
    }
    std::string open;  // the first letter of each enclosing container's name
    std::size_t i = 0;
    while ((i = text.find('<', i)) != NotFound) {
        const std::string_view rest = text.substr(i);
        std::size_t end;
        if (rest.starts_with("<!--")) {
            end = after(text.find("-->", i + 4), 3);
        } else if (rest.starts_with("<![CDATA[")) {
            end = after(text.find("]]>", i + 9), 3);
        } else if (rest.starts_with("<?")) {
            end = after(markupEnd(text, i + 2, "?>", ""), 2);
        } else if (rest.starts_with("<!DOCTYPE")) {
            end = after(markupEnd(text, i + 9, ">", "["), 1);  // an internal subset could declare anything
        } else if (rest.starts_with("<!")) {
            return false;
        } else {
            // Names end as libplist ends them; "<array/>" is empty, "</array/>" closes.
            const std::size_t nameEnd = text.find_first_of(" \t\r\n<>", i + 1);
            const std::size_t close = nameEnd == NotFound ? NotFound : markupEnd(text, nameEnd, ">", "");
            if (close == NotFound) {
                return false;
            }
            std::string_view name = text.substr(i + 1, nameEnd - i - 1);
            const bool empty = text[close - 1] == '/';
            if (empty && nameEnd == close) {
                name.remove_suffix(1);
            }
            if (name == "array" || name == "dict") {
                if (open.size() == MaxDepth) {
                    return false;
                }
                if (!empty) {
                    open.push_back(name[0]);
                }
            } else if (name.starts_with("/array") || name.starts_with("/dict")) {
                // Only the plain form, matching: attributes or a mismatch would let the two parsers part.
                const bool plain = (name == "/array" || name == "/dict") &&
                                   text.substr(nameEnd, close - nameEnd).find_first_not_of(" \t\r\n") == NotFound;
                if (!plain || open.empty() || open.back() != name[1]) {
                    return false;
                }
                open.pop_back();
            }
            end = close + 1;
        }
        if (end == NotFound) {
            return false;
        }
        i = end;
    }
    return true;
}

bool PropertyListBounds::binaryAccepts(std::string_view bytes) {
    constexpr std::size_t TrailerSize = 32;
    if (bytes.size() < BinaryMagic.size() + TrailerSize) {
        return false;
    }
    const std::size_t trailer = bytes.size() - TrailerSize;
    const std::size_t offsetSize = static_cast<std::uint8_t>(bytes[trailer + 6]);
    const std::size_t referenceSize = static_cast<std::uint8_t>(bytes[trailer + 7]);
    const std::uint64_t objectCount = bigEndian(bytes, trailer + 8, 8);
    const std::uint64_t root = bigEndian(bytes, trailer + 16, 8);
    const std::uint64_t table = bigEndian(bytes, trailer + 24, 8);
    // Wider fields are legal but never written; refusing them keeps every read below within 8 bytes.
    if (offsetSize < 1 || offsetSize > 8 || referenceSize < 1 || referenceSize > 8 || objectCount == 0 ||
        objectCount > MaxNodes || root >= objectCount || table < BinaryMagic.size() || table > trailer ||
        objectCount * offsetSize > trailer - table) {
        return false;
    }

    struct Object {
        bool valid = false;
        bool container = false;
        std::size_t references = 0;  // where the object references start
        std::uint64_t count = 0;      // how many there are: keys and values for a dictionary
    };
    std::unordered_set<std::uint64_t> textSeen;  // where UTF-16 strings free of U+0000 start
    const auto object = [&](std::uint64_t index) {
        const std::uint64_t offset = bigEndian(bytes, table + index * offsetSize, offsetSize);
        if (offset < BinaryMagic.size() || offset >= table) {
            return Object{};
        }
        const auto marker = static_cast<std::uint8_t>(bytes[offset]);
        const unsigned type = marker >> 4;
        // Arrays, sets and dictionaries; libplist follows a dictionary's key references as well.
        const bool container = type == 0xA || type == 0xC || type == 0xD;
        const bool text = type == 0x6;  // UTF-16
        if (!container && !text) {
            return Object{true};
        }
        std::size_t body = offset + 1;  // past the marker and the count
        std::uint64_t count = marker & 0x0F;
        if (count == 0x0F) {
            if (body >= table || static_cast<std::uint8_t>(bytes[body]) >> 4 != 0x1) {
                return Object{};
            }
            const std::size_t width = std::size_t{1} << (bytes[body] & 0x0F);
            if (width > 8 || body + 1 + width > table) {
                return Object{};
            }
            count = bigEndian(bytes, body + 1, width);
            body += 1 + width;
        }
        if (text) {
            // libplist's string getters assert, aborting the process, when UTF-16 text held U+0000.
            if (count > (table - body) / 2) {
                return Object{};
            }
            if (textSeen.insert(offset).second) {
                for (std::size_t i = body; i < body + 2 * count; i += 2) {
                    if (bytes[i] == 0 && bytes[i + 1] == 0) {
                        return Object{};
                    }
                }
            }
            return Object{true};
        }
        const std::uint64_t perEntry = type == 0xD ? 2 : 1;
        if (count > (table - body) / referenceSize / perEntry) {
            return Object{};
        }
        return Object{true, true, body, count * perEntry};
    };

    // Longest chain of containers and number of nodes below each object, found once: shared references
    // are cheap here although libplist copies them. A reference back into the current chain is a cycle.
    enum : std::uint8_t { Unseen, Open, Done };
    struct Summary {
        std::uint8_t state = Unseen;
        std::uint8_t depth = 0;
        std::uint32_t nodes = 0;
    };
    struct Frame {
        std::uint64_t index;
        Object object;
        std::uint64_t next = 0;
        std::size_t depth = 0;
        std::uint64_t nodes = 1;
    };
    std::vector<Summary> summaries(objectCount);
    std::vector<Frame> chain;
    const auto enter = [&](std::uint64_t index) {
        const Object found = object(index);
        if (!found.valid || (found.container && chain.size() == MaxDepth)) {
            return false;
        }
        if (found.container) {
            summaries[index].state = Open;
            chain.push_back({index, found});
        } else {
            summaries[index] = {Done, 0, 1};
        }
        return true;
    };
    const auto fold = [&](Frame& frame, const Summary& child) {
        frame.depth = std::max<std::size_t>(frame.depth, child.depth);
        frame.nodes += child.nodes;
        return frame.depth < MaxDepth && frame.nodes <= MaxNodes;
    };
    if (!enter(root)) {
        return false;
    }
    while (!chain.empty()) {
        Frame& frame = chain.back();
        if (frame.next == frame.object.count) {
            const Summary done{Done, static_cast<std::uint8_t>(frame.depth + 1),
                               static_cast<std::uint32_t>(frame.nodes)};
            summaries[frame.index] = done;
            chain.pop_back();
            if (!chain.empty() && !fold(chain.back(), done)) {
                return false;
            }
            continue;
        }
        const std::uint64_t child =
            bigEndian(bytes, frame.object.references + frame.next * referenceSize, referenceSize);
        ++frame.next;
        if (child >= objectCount || summaries[child].state == Open) {
            return false;
        }
        if (summaries[child].state == Unseen && !enter(child)) {
            return false;
        }
        // A leaf or a container seen before is done now; one just entered is folded when it is.
        if (summaries[child].state == Done && !fold(chain.back(), summaries[child])) {
            return false;
        }
    }
    return summaries[root].depth <= MaxDepth;
}

}  // namespace sentorix::linux_system
