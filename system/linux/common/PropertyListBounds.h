#pragma once

#include <cstddef>
#include <string_view>

namespace sentorix::linux_system {

// Decides from the raw bytes whether libplist may parse a property list. libplist 2.2 recurses once per
// level of nesting in its binary parser and when freeing a tree, and shared references in a binary file
// multiply the nodes it builds; a few hundred kilobytes are enough to exhaust the stack or the memory.
// Anything that could make this check see less nesting than libplist would is refused.
class PropertyListBounds {
public:
    static constexpr std::size_t MaxBytes = 16 * 1024 * 1024;
    // Levels of array and dictionary.
    static constexpr std::size_t MaxDepth = 128;
    // About as many nodes as an XML file of MaxBytes can hold ("<array/>" is 8 bytes).
    static constexpr std::size_t MaxNodes = MaxBytes / 8;

    static bool isBinary(std::string_view bytes);
    static bool accepts(std::string_view bytes);

private:
    static bool xmlAccepts(std::string_view text);
    static bool binaryAccepts(std::string_view bytes);
};

}  // namespace sentorix::linux_system
