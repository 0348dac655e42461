// A list of owned records that stamps its changes, so that a look-up can keep an index of it and know
// when the index must be made again.
//
// Every member that could change an entry stamps the list: adding, removing and replacing records,
// and every non-const access, since the record reached may be renumbered. So renumber a record
// through the list, with no look-up between reaching it and changing it: a change made through a
// pointer kept from before is not noticed. Main thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

template <class T> class TOwnedList {
public:
    using Items = std::vector<std::unique_ptr<T>>;
    using value_type = typename Items::value_type;
    using size_type = typename Items::size_type;
    using iterator = typename Items::iterator;
    using const_iterator = typename Items::const_iterator;

    TOwnedList() { Touch(); }
    TOwnedList(Items items) : items_(std::move(items)) { Touch(); }
    TOwnedList(TOwnedList&& other) noexcept : items_(std::move(other.items_)) {
        Touch();
        other.Touch();
    }
    TOwnedList& operator=(TOwnedList&& other) noexcept {
        items_ = std::move(other.items_);
        Touch();
        other.Touch();
        return *this;
    }
    TOwnedList& operator=(Items&& items) {
        items_ = std::move(items);
        Touch();
        return *this;
    }

    // Changes with every change of the list; never the same for two lists or two states of one.
    std::uint64_t Stamp() const { return stamp_; }

    size_type size() const { return items_.size(); }
    bool empty() const { return items_.empty(); }
    const_iterator begin() const { return items_.begin(); }
    const_iterator end() const { return items_.end(); }
    const value_type& operator[](size_type i) const { return items_[i]; }
    const value_type& front() const { return items_.front(); }
    const value_type& back() const { return items_.back(); }

    iterator begin() {
        Touch();
        return items_.begin();
    }
    iterator end() {
        Touch();
        return items_.end();
    }
    value_type& operator[](size_type i) {
        Touch();
        return items_[i];
    }
    value_type& front() {
        Touch();
        return items_.front();
    }
    value_type& back() {
        Touch();
        return items_.back();
    }

    void reserve(size_type n) { items_.reserve(n); }
    void push_back(value_type item) {
        Touch();
        items_.push_back(std::move(item));
    }
    template <class... Args> value_type& emplace_back(Args&&... args) {
        Touch();
        return items_.emplace_back(std::forward<Args>(args)...);
    }
    iterator insert(const_iterator at, value_type item) {
        Touch();
        return items_.insert(at, std::move(item));
    }
    iterator erase(const_iterator at) {
        Touch();
        return items_.erase(at);
    }
    iterator erase(const_iterator first, const_iterator last) {
        Touch();
        return items_.erase(first, last);
    }
    void clear() {
        Touch();
        items_.clear();
    }

private:
    void Touch() { stamp_ = ++stamps_; }

    inline static std::uint64_t stamps_ = 0;
    Items items_;
    std::uint64_t stamp_ = 0;
};
