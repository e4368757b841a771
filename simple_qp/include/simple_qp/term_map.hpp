// simple_qp/include/simple_qp/term_map.hpp: the key -> coefficient map behind every expression
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <vector>

namespace simple_qp {

/// Key -> coefficient map that keeps its entries in insertion order. Up to `kScanLimit`
/// entries a lookup scans them (most expressions hold two or three); beyond that an
/// open-addressing index with linear probing finds keys. Iteration follows insertion order,
/// never the hashing, so every result built from a map is reproducible.
template <class Key, class Hash>
class TermMap {
public:
    struct Entry {
        Key key;
        double value;
    };
    using const_iterator = typename std::vector<Entry>::const_iterator;

    std::size_t size() const noexcept { return m_entries.size(); }
    bool empty() const noexcept { return m_entries.empty(); }
    const_iterator begin() const noexcept { return m_entries.begin(); }
    const_iterator end() const noexcept { return m_entries.end(); }

    /// Makes room for `count` entries without further reallocation or re-indexing. The index
    /// itself is only built once the entries outgrow scanning, sized for this capacity.
    void reserve(std::size_t count) {
        m_entries.reserve(count);
        if (!m_slots.empty() && m_slots.size() < slot_count_for(count)) {
            rebuild_index(slot_count_for(count));
        }
    }

    /// The coefficient stored for `key`, or nullptr when the key has no entry.
    const double* find(const Key& key) const noexcept {
        const std::size_t position = find_position(key);
        return position == kAbsent ? nullptr : &m_entries[position].value;
    }

    /// The coefficient of `key`, 0.0 when it has no entry.
    double coefficient(const Key& key) const noexcept {
        const double* value = find(key);
        return value ? *value : 0.0;
    }

    /// Adds `value` to the entry of `key` (stored + value), inserting the entry when absent.
    void add(const Key& key, double value) {
        if (m_slots.empty()) {
            for (Entry& entry : m_entries) {
                if (entry.key == key) {
                    entry.value += value;
                    return;
                }
            }
            m_entries.push_back(Entry{key, value});
            if (m_entries.size() > kScanLimit) {
                rebuild_index(slot_count_for(m_entries.capacity()));
            }
            return;
        }
        const std::size_t mask = m_slots.size() - 1;
        std::size_t slot = home_slot(key);
        for (; m_slots[slot] != 0; slot = (slot + 1) & mask) {
            Entry& entry = m_entries[m_slots[slot] - 1];
            if (entry.key == key) {
                entry.value += value;
                return;
            }
        }
        if (m_entries.size() >= kMaxEntries) {
            throw std::length_error("TermMap: too many entries");
        }
        m_entries.push_back(Entry{key, value});
        m_slots[slot] = static_cast<std::uint32_t>(m_entries.size());
        // Load factor at most one half keeps probe runs short.
        if (2 * m_entries.size() > m_slots.size()) {
            rebuild_index(2 * m_slots.size());
        }
    }

    /// Replaces every coefficient v by f(v); keys stay as they are.
    template <class F>
    void transform_values(F f) {
        for (Entry& entry : m_entries) {
            entry.value = f(entry.value);
        }
    }

private:
    static constexpr std::size_t kScanLimit = 8;
    static constexpr std::size_t kAbsent = std::numeric_limits<std::size_t>::max();
    // Slots store position + 1 in 32 bits; 0 marks a free slot.
    static constexpr std::size_t kMaxEntries = std::numeric_limits<std::uint32_t>::max() - 1;

    static std::size_t slot_count_for(std::size_t count) {
        return std::bit_ceil(std::max<std::size_t>(16, 2 * count));
    }

    std::size_t home_slot(const Key& key) const noexcept {
        // MurmurHash3's 64-bit finaliser spreads dense indices over the high bits used here.
        std::uint64_t h = Hash{}(key);
        h ^= h >> 33;
        h *= 0xff51afd7ed558ccdULL;
        h ^= h >> 33;
        h *= 0xc4ceb9fe1a85ec53ULL;
        h ^= h >> 33;
        return static_cast<std::size_t>(h >> m_shift);
    }

    std::size_t find_position(const Key& key) const noexcept {
        if (m_slots.empty()) {
            for (std::size_t i = 0; i < m_entries.size(); ++i) {
                if (m_entries[i].key == key) {
                    return i;
                }
            }
            return kAbsent;
        }
        const std::size_t mask = m_slots.size() - 1;
        for (std::size_t slot = home_slot(key); m_slots[slot] != 0; slot = (slot + 1) & mask) {
            if (m_entries[m_slots[slot] - 1].key == key) {
                return m_slots[slot] - 1;
            }
        }
        return kAbsent;
    }

    void rebuild_index(std::size_t slot_count) {
        m_slots.assign(slot_count, 0);
        m_shift = 64 - static_cast<unsigned>(std::countr_zero(slot_count));
        const std::size_t mask = slot_count - 1;
        for (std::size_t i = 0; i < m_entries.size(); ++i) {
            std::size_t slot = home_slot(m_entries[i].key);
            while (m_slots[slot] != 0) {
                slot = (slot + 1) & mask;
            }
            m_slots[slot] = static_cast<std::uint32_t>(i + 1);
        }
    }

    std::vector<Entry> m_entries;
    std::vector<std::uint32_t> m_slots;  // empty while the map is scanned
    unsigned m_shift = 64;
};

}  // namespace simple_qp
