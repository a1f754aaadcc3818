#pragma once

#include <cstddef>
#include <unordered_map>
#include <utility>

namespace sentorix::linux_system {

// A map of what was once read and may be read again, kept from growing with what has ended: past
// `limit` entries it forgets everything at once. Whatever still matters is read again once, which costs
// less than finding out what no longer does. Not thread-safe: its owner's lock guards it.
template <class Key, class Value, class Map = std::unordered_map<Key, Value>>
class BoundedCache {
public:
    explicit BoundedCache(std::size_t limit) : limit_(limit) {}

    const Value* find(const Key& key) const {
        const auto found = entries_.find(key);
        return found == entries_.end() ? nullptr : &found->second;
    }
    // Stores `value` for `key`, in place of what was there.
    void assign(const Key& key, Value value) {
        makeRoom();
        entries_.insert_or_assign(key, std::move(value));
    }
    // Stores `value` for `key` unless it has one already.
    void insert(const Key& key, Value value) {
        makeRoom();
        entries_.emplace(key, std::move(value));
    }
    void clear() { entries_.clear(); }
    std::size_t size() const { return entries_.size(); }

private:
    void makeRoom() {
        if (entries_.size() > limit_) {
            entries_.clear();
        }
    }

    const std::size_t limit_;
    Map entries_;
};

}  // namespace sentorix::linux_system
