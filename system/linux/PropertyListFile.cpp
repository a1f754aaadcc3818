#include "PropertyListFile.h"

#include <plist/plist.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace sentorix::linux_system {

namespace {

constexpr std::int64_t AppleEpochOffset = 978307200;  // 2001-01-01 in Unix time

std::optional<PropertyListValue> fromNode(plist_t node) {
    switch (plist_get_node_type(node)) {
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
            if (auto item = fromNode(plist_array_get_item(node, i))) {
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
            if (!item) {
                break;
            }
            if (auto value = fromNode(item)) {
                dictionary.emplace(key, std::move(*value));
            }
            std::free(key);
        }
        std::free(iterator);
        return PropertyListValue(std::move(dictionary));
    }
    default:
        return std::nullopt;
    }
}

}  // namespace

std::optional<PropertyListValue> PropertyListFile::load(const std::string& path, OptionalError& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = NSError::posix(ENOENT, "Cannot read " + path);
        return std::nullopt;
    }
    std::stringstream content;
    content << in.rdbuf();
    const std::string bytes = content.str();
    plist_t root = nullptr;
    plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
    if (!root) {
        error = NSError::posix(EINVAL, path + " is not a property list");
        return std::nullopt;
    }
    auto value = fromNode(root);
    plist_free(root);
    return value;
}

}  // namespace sentorix::linux_system
