#include "PropertyListFile.h"

#include "WholeBuffer.h"

#include <plist/plist.h>

#include "UniqueFd.h"
#include "UTF8.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string_view>

namespace sentorix::linux_system {

namespace {

constexpr std::int64_t AppleEpochOffset = 978307200;  // 2001-01-01 in Unix time

// `depth` counts the enclosing containers. The bytes were bounded before parsing; refusing here too keeps
// the recursion safe whatever libplist built.
std::optional<PropertyListValue> fromNode(plist_t node, std::size_t depth, bool& tooDeep) {
    const plist_type type = plist_get_node_type(node);
    if ((type == PLIST_ARRAY || type == PLIST_DICT) && depth == PropertyListBounds::MaxDepth) {
        tooDeep = true;
        return std::nullopt;
    }
    switch (type) {
    case PLIST_STRING: {
        char* text = nullptr;
        plist_get_string_val(node, &text);
        std::string value = text ? text : "";
        std::free(text);
        return PropertyListValue(value);
    }
    case PLIST_BOOLEAN: {
        uint8_t flag = 0;
        plist_get_bool_val(node, &flag);
        return PropertyListValue(flag != 0);
    }
    case PLIST_UINT: {
        uint64_t number = 0;
        plist_get_uint_val(node, &number);
        return PropertyListValue(static_cast<std::int64_t>(number));
    }
    case PLIST_REAL: {
        double number = 0;
        plist_get_real_val(node, &number);
        return PropertyListValue(number);
    }
    case PLIST_DATA: {
        char* bytes = nullptr;
        uint64_t length = 0;
        plist_get_data_val(node, &bytes, &length);
        PropertyListValue::Data data(bytes, bytes + length);
        std::free(bytes);
        return PropertyListValue(std::move(data));
    }
    case PLIST_DATE: {
        int32_t seconds = 0, microseconds = 0;
        plist_get_date_val(node, &seconds, &microseconds);
        return PropertyListValue(PropertyListValue::Date(std::chrono::seconds(seconds + AppleEpochOffset) +
                                                         std::chrono::microseconds(microseconds)));
    }
    case PLIST_ARRAY: {
        PropertyListValue::Array array;
        for (uint32_t i = 0; i < plist_array_get_size(node); ++i) {
            if (auto item = fromNode(plist_array_get_item(node, i), depth + 1, tooDeep)) {
                array.push_back(std::move(*item));
            }
        }
        return PropertyListValue(std::move(array));
    }
    case PLIST_DICT: {
        PropertyListValue::Dictionary dictionary;
        plist_dict_iter iterator = nullptr;
        plist_dict_new_iter(node, &iterator);
        for (;;) {
            char* key = nullptr;
            plist_t item = nullptr;
            plist_dict_next_item(node, iterator, &key, &item);
            const std::unique_ptr<char, decltype(&std::free)> keyOwner(key, &std::free);
            if (!item) {
                break;
            }
            if (auto value = fromNode(item, depth + 1, tooDeep); value && key) {
                dictionary.emplace(key, std::move(*value));
            }
        }
        std::free(iterator);
        return PropertyListValue(std::move(dictionary));
    }
    default:
        return std::nullopt;
    }
}

plist_t toNode(const PropertyListValue& value) {
    return std::visit(
        [](const auto& item) -> plist_t {
            using T = std::decay_t<decltype(item)>;
            if constexpr (std::is_same_v<T, std::string>) {
                return plist_new_string(item.c_str());
            } else if constexpr (std::is_same_v<T, std::int64_t>) {
                return plist_new_uint(static_cast<uint64_t>(item));
            } else if constexpr (std::is_same_v<T, double>) {
                return plist_new_real(item);
            } else if constexpr (std::is_same_v<T, bool>) {
                return plist_new_bool(item ? 1 : 0);
            } else if constexpr (std::is_same_v<T, PropertyListValue::Data>) {
                return plist_new_data(reinterpret_cast<const char*>(item.data()), item.size());
            } else if constexpr (std::is_same_v<T, PropertyListValue::Date>) {
                const auto since = std::chrono::duration_cast<std::chrono::microseconds>(item.time_since_epoch()) -
                                   std::chrono::seconds(AppleEpochOffset);
                const auto seconds = std::chrono::floor<std::chrono::seconds>(since);
                return plist_new_date(static_cast<int32_t>(seconds.count()),
                                      static_cast<int32_t>((since - seconds).count()));
            } else if constexpr (std::is_same_v<T, PropertyListValue::Array>) {
                plist_t array = plist_new_array();
                for (const auto& element : item) {
                    plist_array_append_item(array, toNode(element));
                }
                return array;
            } else {
                plist_t dictionary = plist_new_dict();
                for (const auto& [key, element] : item) {
                    plist_dict_set_item(dictionary, key.c_str(), toNode(element));
                }
                return dictionary;
            }
        },
        value.storage());
}

// Valid UTF-8 without the characters XML 1.0 cannot carry, escaped or not: controls other than tab, line
// feed and carriage return, U+FFFE and U+FFFF.
bool isXmlText(std::string_view text) {
    while (!text.empty()) {
        const std::size_t length = validUtf8SequenceLength(text);
        const auto lead = static_cast<unsigned char>(text[0]);
        if (length == 0 || (lead < 0x20 && lead != '\t' && lead != '\n' && lead != '\r') ||
            (length == 3 && text.starts_with("\xEF\xBF") && (static_cast<unsigned char>(text[2]) & 0xFE) == 0xBE)) {
            return false;
        }
        text.remove_prefix(length);
    }
    return true;
}

enum class Unwritable { none, text, depth };

// Bounded like fromNode, so that a value nested too deeply cannot exhaust the stack here either.
Unwritable unwritable(const PropertyListValue& value, std::size_t depth) {
    if (const auto* text = value.get<std::string>()) {
        return isXmlText(*text) ? Unwritable::none : Unwritable::text;
    }
    const auto* array = value.get<PropertyListValue::Array>();
    const auto* dictionary = value.get<PropertyListValue::Dictionary>();
    if ((array || dictionary) && depth == PropertyListBounds::MaxDepth) {
        return Unwritable::depth;
    }
    for (std::size_t i = 0; array && i < array->size(); ++i) {
        if (const auto found = unwritable((*array)[i], depth + 1); found != Unwritable::none) {
            return found;
        }
    }
    if (dictionary) {
        for (const auto& [key, element] : *dictionary) {
            if (!isXmlText(key)) {
                return Unwritable::text;
            }
            if (const auto found = unwritable(element, depth + 1); found != Unwritable::none) {
                return found;
            }
        }
    }
    return Unwritable::none;
}

NSError writeError(const std::string& path, int errorNumber) {
    return NSError::posix(errorNumber, "Cannot write " + path + ": " + std::strerror(errorNumber));
}

bool writeAll(int fd, const char* bytes, std::size_t length) { return WholeBuffer::write(fd, bytes, length) == length; }

}  // namespace

Result<std::string> PropertyListFile::serialize(const PropertyListValue& value, const std::string& name) {
    switch (unwritable(value, 0)) {
    case Unwritable::text:
        return NSError::posix(EILSEQ, "Cannot write " + name +
                                          ": it would hold text that is not valid UTF-8 or has control characters");
    case Unwritable::depth:
        return NSError::posix(EINVAL, "Cannot write " + name + ": it would nest deeper than " +
                                          std::to_string(PropertyListBounds::MaxDepth) + " levels");
    case Unwritable::none:
        break;
    }
    plist_t root = toNode(value);
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(root, &xml, &length);
    plist_free(root);
    if (!xml) {
        return writeError(name, ENOMEM);
    }
    std::string bytes(xml, length);
    std::free(xml);
    return bytes;
}

Result<void> PropertyListFile::save(const std::string& path, const PropertyListValue& value) {
    const auto serialized = serialize(value, path);
    if (!serialized) {
        return serialized.error();
    }
    const std::string& bytes = *serialized;

    // A reader sees the old file or the new one, never a part; a crash leaves at most a stray temporary.
    const std::filesystem::path target(path);
    std::string temporary = (target.parent_path() / ("." + target.filename().string() + ".XXXXXX")).string();
    UniqueFd file(::mkstemp(temporary.data()));
    if (!file.valid()) {
        return writeError(path, errno);
    }
    ::fchmod(file.get(), 0644);
    if (!writeAll(file.get(), bytes.data(), bytes.size()) || ::fsync(file.get()) != 0) {
        const int failure = errno;
        ::unlink(temporary.c_str());
        return writeError(path, failure);
    }
    file.reset();
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        const int failure = errno;
        ::unlink(temporary.c_str());
        return writeError(path, failure);
    }
    const std::string directory = target.has_parent_path() ? target.parent_path().string() : ".";
    if (UniqueFd parent(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)); parent.valid()) {
        ::fsync(parent.get());
    }
    return {};
}

Result<PropertyListValue> PropertyListFile::load(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return NSError::posix(ENOENT, "Cannot read " + path);
    }
    // One byte past the limit tells a file that is too large; more would only cost memory.
    constexpr std::size_t Limit = MaximumSize + 1;
    std::string bytes;
    while (in && bytes.size() < Limit) {
        const std::size_t start = bytes.size();
        bytes.resize(std::min(Limit, start + 64 * 1024));
        in.read(bytes.data() + start, static_cast<std::streamsize>(bytes.size() - start));
        bytes.resize(start + static_cast<std::size_t>(in.gcount()));
    }
    return parse(bytes, path);
}

// GCC 12 takes the value moved out of a checked optional, through the variants inside it, for one that
// may be uninitialized (a known false positive of -Wmaybe-uninitialized with std::variant).
#if defined(__GNUC__) && !defined(__clang__)  // clang has no such warning, and refuses to name it
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
Result<PropertyListValue> PropertyListFile::parse(const std::string& bytes, const std::string& name) {
    const auto refuse = [&] { return Result<PropertyListValue>(NSError::posix(EINVAL, name + " is not a property list")); };
    if (!PropertyListBounds::accepts(bytes)) {
        return refuse();
    }
    // The format is chosen as the check chose it, not by libplist's own test.
    plist_t node = nullptr;
    if (PropertyListBounds::isBinary(bytes)) {
        plist_from_bin(bytes.data(), static_cast<uint32_t>(bytes.size()), &node);
    } else {
        plist_from_xml(bytes.data(), static_cast<uint32_t>(bytes.size()), &node);
    }
    const std::unique_ptr<void, decltype(&plist_free)> root(node, &plist_free);
    bool tooDeep = false;
    auto value = root ? fromNode(root.get(), 0, tooDeep) : std::nullopt;
    if (!value || tooDeep) {
        return refuse();
    }
    return std::move(*value);
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

}  // namespace sentorix::linux_system
