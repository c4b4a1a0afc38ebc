#pragma once
// A bag of tokens: token string -> number of occurrences (at least 1).
// Ordered by token (QString's order), so every walk over a bag (scoring,
// learning) is reproducible. Stored as one sorted array: a message's bag is
// built once, in order, by the tokenizer, then walked; the few tokens added
// later (links, addresses) are inserted in place.

#include <QString>
#include <QStringView>

#include <algorithm>
#include <initializer_list>
#include <utility>
#include <vector>

class SWTokenBag {
public:
    using Entry = std::pair<QString, int>;

    class const_iterator {
    public:
        const_iterator() = default;
        explicit const_iterator(std::vector<Entry>::const_iterator it) : it_(it) {}
        const QString& key() const { return it_->first; }
        int value() const { return it_->second; }
        const Entry& operator*() const { return *it_; }
        const Entry* operator->() const { return &*it_; }
        const_iterator& operator++() {
            ++it_;
            return *this;
        }
        bool operator==(const const_iterator& other) const { return it_ == other.it_; }
        bool operator!=(const const_iterator& other) const { return it_ != other.it_; }

    private:
        std::vector<Entry>::const_iterator it_;
    };

    SWTokenBag() = default;
    // Later duplicates replace earlier ones, as repeated insert() would.
    SWTokenBag(std::initializer_list<Entry> entries) {
        for (const Entry& e : entries)
            insert(e.first, e.second);
    }
    // Adopts entries already sorted by key, without duplicates.
    static SWTokenBag fromSorted(std::vector<Entry>&& entries) {
        SWTokenBag bag;
        bag.entries_ = std::move(entries);
        return bag;
    }

    qsizetype size() const { return qsizetype(entries_.size()); }
    bool isEmpty() const { return entries_.empty(); }
    const_iterator constBegin() const { return const_iterator(entries_.cbegin()); }
    const_iterator constEnd() const { return const_iterator(entries_.cend()); }
    const_iterator begin() const { return constBegin(); }
    const_iterator end() const { return constEnd(); }

    bool contains(const QString& key) const {
        const auto it = lowerBound(key);
        return it != entries_.end() && it->first == key;
    }
    int value(const QString& key, int fallback = 0) const {
        const auto it = lowerBound(key);
        return it != entries_.end() && it->first == key ? it->second : fallback;
    }
    // Sets the count of key, adding it when absent.
    void insert(const QString& key, int count) { slot(key) = count; }
    // The count of key, added as 0 when absent.
    int& operator[](const QString& key) { return slot(key); }

    // Adds the counts of other to this bag (a merge of two sorted arrays).
    void addCounts(const SWTokenBag& other) { merge(other, true); }
    // Sets every token of other to its count there.
    void insertAll(const SWTokenBag& other) { merge(other, false); }

    // Adds each key of sorted (ascending, distinct) that the bag lacks, with a
    // count of 1; a key already in the bag keeps its count (one merge).
    void addAbsent(const std::vector<QStringView>& sorted) {
        if (sorted.empty())
            return;
        std::vector<Entry> merged;
        merged.reserve(entries_.size() + sorted.size());
        auto a = entries_.begin();
        auto b = sorted.begin();
        while (a != entries_.end() || b != sorted.end()) {
            if (b == sorted.end() || (a != entries_.end() && QStringView(a->first) < *b)) {
                merged.push_back(std::move(*a++));
            } else if (a == entries_.end() || *b < QStringView(a->first)) {
                merged.emplace_back(b->toString(), 1);
                ++b;
            } else {
                merged.push_back(std::move(*a++));
                ++b;
            }
        }
        entries_ = std::move(merged);
    }

    bool operator==(const SWTokenBag& other) const { return entries_ == other.entries_; }
    bool operator!=(const SWTokenBag& other) const { return !(*this == other); }

private:
    std::vector<Entry>::const_iterator lowerBound(const QString& key) const {
        return std::lower_bound(entries_.begin(), entries_.end(), key,
                                [](const Entry& e, const QString& k) { return e.first < k; });
    }
    int& slot(const QString& key) {
        auto it = std::lower_bound(entries_.begin(), entries_.end(), key,
                                   [](const Entry& e, const QString& k) { return e.first < k; });
        if (it == entries_.end() || it->first != key)
            it = entries_.insert(it, Entry(key, 0));
        return it->second;
    }

    void merge(const SWTokenBag& other, bool sum) {
        if (other.entries_.empty())
            return;
        std::vector<Entry> merged;
        merged.reserve(entries_.size() + other.entries_.size());
        auto a = entries_.begin();
        auto b = other.entries_.begin();
        while (a != entries_.end() || b != other.entries_.end()) {
            if (b == other.entries_.end() || (a != entries_.end() && a->first < b->first)) {
                merged.push_back(std::move(*a++));
            } else if (a == entries_.end() || b->first < a->first) {
                merged.push_back(*b++);
            } else {
                merged.emplace_back(std::move(a->first), sum ? a->second + b->second : b->second);
                ++a;
                ++b;
            }
        }
        entries_ = std::move(merged);
    }

    std::vector<Entry> entries_;
};
