// A list of owned records with indexes of their keys, so that a look-up by key answers at once what a
// walk in list order would: the first record with that key.
//
// Keys names the indexes and the keys of a record: Keys::Count indexes, and Keys::Of(record, add)
// calls add(index, key) for each key the record has (any number, none included).
//
// The indexes are kept up to date where records are added, removed and renumbered: adding at the end
// and removing the last record cost that record's keys alone; adding or removing elsewhere, or
// replacing the whole list, costs about what moving the records costs anyway. A record reached through
// an element, front(), back() or what emplace_back returns may be renumbered through it: its keys are
// read again before the next look-up, which costs that record alone. A record renumbered through an
// iterator, or through a pointer kept across a look-up, is not noticed. Main thread only.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

template <class T, class Keys> class TOwnedList {
public:
    using Items = std::vector<std::unique_ptr<T>>;
    using value_type = typename Items::value_type;
    using size_type = typename Items::size_type;
    using const_iterator = typename Items::const_iterator;
    using iterator = const_iterator; // records are reached for a change by position
    static constexpr size_type npos = size_type(-1);

    TOwnedList() = default;
    TOwnedList(Items items) : items_(std::move(items)) { Reindex(); }
    TOwnedList(TOwnedList&& other) : items_(std::move(other.items_)) {
        other.clear();
        Reindex();
    }
    TOwnedList& operator=(TOwnedList&& other) {
        items_ = std::move(other.items_);
        other.clear();
        Reindex();
        return *this;
    }
    TOwnedList& operator=(Items&& items) {
        items_ = std::move(items);
        Reindex();
        return *this;
    }

    size_type size() const { return items_.size(); }
    bool empty() const { return items_.empty(); }
    const_iterator begin() const { return items_.begin(); }
    const_iterator end() const { return items_.end(); }
    const value_type& operator[](size_type i) const { return items_[i]; }
    const value_type& front() const { return items_.front(); }
    const value_type& back() const { return items_.back(); }

    value_type& operator[](size_type i) {
        Reach(i);
        return items_[i];
    }
    value_type& front() { return (*this)[0]; }
    value_type& back() { return (*this)[size() - 1]; }

    // The position of the first record with that key of index which, npos when there is none.
    size_type Find(int which, std::int32_t key) const {
        Settle();
        const auto found = index_[std::size_t(which)].find(key);
        return found == index_[std::size_t(which)].end() ? npos : found->second.first;
    }
    T* First(int which, std::int32_t key) const {
        const size_type at = Find(which, key);
        return at == npos ? nullptr : items_[at].get();
    }

    void reserve(size_type n) {
        items_.reserve(n);
        keys_.reserve(n);
    }
    void push_back(value_type item) {
        items_.push_back(std::move(item));
        Appended();
    }
    template <class... Args> value_type& emplace_back(Args&&... args) {
        items_.emplace_back(std::forward<Args>(args)...);
        Appended();
        return back();
    }
    iterator insert(const_iterator at, value_type item) {
        const auto offset = at - begin();
        items_.insert(at, std::move(item));
        Reindex();
        return begin() + offset;
    }
    iterator erase(const_iterator at) { return erase(at, at + 1); }
    iterator erase(const_iterator first, const_iterator last) {
        const auto offset = first - begin();
        if (last == end()) {
            Settle();
            for (size_type i = size_type(offset); i < size(); ++i)
                Unindex(i);
            keys_.resize(size_type(offset));
            items_.erase(first, last);
        } else {
            items_.erase(first, last);
            Reindex();
        }
        return begin() + offset;
    }
    void clear() {
        items_.clear();
        Reindex();
    }

private:
    struct TKey {
        int which;
        std::int32_t key;
        auto operator<=>(const TKey&) const = default;
    };
    // The keys a position is indexed under, and whether its record was reached for a change since.
    struct TSlot {
        std::vector<TKey> keys;
        bool reached = false;
    };
    // The first position with a key and how many positions have it.
    struct TFirst {
        size_type first;
        size_type count;
    };

    std::vector<TKey> KeysOf(size_type i) const {
        std::vector<TKey> keys;
        if (const T* item = items_[i].get())
            Keys::Of(*item, [&](int which, std::int32_t key) { keys.push_back({which, key}); });
        std::sort(keys.begin(), keys.end());
        keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
        return keys;
    }

    void Index(size_type i) const {
        for (const TKey& k : keys_[i].keys) {
            const auto [at, added] = index_[std::size_t(k.which)].try_emplace(k.key, TFirst{i, 1});
            if (!added) {
                at->second.first = std::min(at->second.first, i);
                ++at->second.count;
            }
        }
    }

    void Unindex(size_type i) const {
        for (const TKey& k : keys_[i].keys) {
            auto& map = index_[std::size_t(k.which)];
            const auto at = map.find(k.key);
            if (--at->second.count == 0) {
                map.erase(at);
            } else if (at->second.first == i) {
                // A key shared by several records: the next one in list order takes over.
                size_type next = i + 1;
                while (!std::binary_search(keys_[next].keys.begin(), keys_[next].keys.end(), k))
                    ++next;
                at->second.first = next;
            }
        }
    }

    void Appended() {
        keys_.push_back({KeysOf(size() - 1), false});
        Index(size() - 1);
    }

    void Reach(size_type i) {
        if (!keys_[i].reached) {
            keys_[i].reached = true;
            reached_.push_back(i);
        }
    }

    // Reads the keys of the records reached since the last look-up again.
    void Settle() const {
        for (const size_type i : reached_) {
            if (i >= size())
                continue;
            keys_[i].reached = false;
            std::vector<TKey> keys = KeysOf(i);
            if (keys == keys_[i].keys)
                continue;
            Unindex(i);
            keys_[i].keys = std::move(keys);
            Index(i);
        }
        reached_.clear();
    }

    void Reindex() {
        for (auto& map : index_)
            map.clear();
        reached_.clear();
        keys_.clear();
        keys_.reserve(size());
        for (size_type i = 0; i < size(); ++i) {
            keys_.push_back({KeysOf(i), false});
            Index(i);
        }
    }

    Items items_;
    mutable std::vector<TSlot> keys_;
    mutable std::array<std::unordered_map<std::int32_t, TFirst>, Keys::Count> index_;
    mutable std::vector<size_type> reached_;
};
