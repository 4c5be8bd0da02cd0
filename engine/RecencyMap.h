// CRecencyMap: a bounded map from text keys to values, kept in the order the entries were last touched.
// The least recently touched go first, both when they have gone stale and when the map is full, so a
// flood of new keys can only push out the oldest ones. Lookups are by hash.
//
// Threads: none of its own; its owner locks.
#pragma once

#include <cstddef>
#include <list>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

namespace tw {

template <typename Value>
class CRecencyMap {
public:
    explicit CRecencyMap(size_t capacity) : capacity_(capacity) {}
    CRecencyMap(const CRecencyMap&) = delete;
    CRecencyMap& operator=(const CRecencyMap&) = delete;

    // The entry of `key`, made the newest; created empty when missing, which drops the oldest entry
    // when the map is full.
    Value& Touch(const std::string& key) {
        if (auto it = index_.find(key); it != index_.end()) {
            order_.splice(order_.end(), order_, it->second);
            return it->second->second;
        }
        if (!order_.empty() && order_.size() >= capacity_) PopOldest();
        order_.emplace_back(key, Value());
        index_.emplace(order_.back().first, std::prev(order_.end()));
        return order_.back().second;
    }

    Value* Find(std::string_view key) {
        auto it = index_.find(key);
        return it == index_.end() ? nullptr : &it->second->second;
    }
    const Value* Find(std::string_view key) const {
        auto it = index_.find(key);
        return it == index_.end() ? nullptr : &it->second->second;
    }

    // Drops the oldest entries as long as `stale(key, value)` holds for them; each one it sees goes.
    template <typename Stale>
    void DropOldestWhile(Stale stale) {
        while (!order_.empty() && stale(order_.front().first, order_.front().second)) PopOldest();
    }

    size_t Size() const { return order_.size(); }

private:
    using Item = std::pair<std::string, Value>;

    void PopOldest() {
        index_.erase(order_.front().first);
        order_.pop_front();
    }

    const size_t capacity_;
    std::list<Item> order_;  // oldest first; its nodes never move, so the index may view their keys
    std::unordered_map<std::string_view, typename std::list<Item>::iterator> index_;
};

}  // namespace tw
