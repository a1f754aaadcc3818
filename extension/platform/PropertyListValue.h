#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <variant>
#include <vector>

namespace sentorix {

// One value of a property list: the types a provider configuration may carry.
class PropertyListValue {
public:
    using Data = std::vector<std::uint8_t>;
    using Date = std::chrono::system_clock::time_point;
    using Array = std::vector<PropertyListValue>;
    using Dictionary = std::map<std::string, PropertyListValue>;
    using Storage = std::variant<std::string, std::int64_t, double, bool, Data, Date, Array, Dictionary>;

    // Implicit on purpose, so that dictionaries read like literals.
    PropertyListValue(std::string text) : storage_(std::move(text)) {}
    PropertyListValue(const char* text) : storage_(std::string(text)) {}
    PropertyListValue(std::int64_t number) : storage_(number) {}
    PropertyListValue(int number) : storage_(std::int64_t{number}) {}
    PropertyListValue(double number) : storage_(number) {}
    PropertyListValue(bool flag) : storage_(flag) {}
    PropertyListValue(Data data) : storage_(std::move(data)) {}
    PropertyListValue(Date date) : storage_(date) {}
    PropertyListValue(Array array) : storage_(std::move(array)) {}
    PropertyListValue(Dictionary dictionary) : storage_(std::move(dictionary)) {}

    const Storage& storage() const { return storage_; }
    template <typename T>
    const T* get() const { return std::get_if<T>(&storage_); }

    bool operator==(const PropertyListValue&) const = default;

private:
    Storage storage_;
};

using ProviderConfiguration = PropertyListValue::Dictionary;

}  // namespace sentorix
