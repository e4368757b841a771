// simple_qp/include/simple_qp/term_map.hpp: the key -> coefficient map behind every expression
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <type_traits>

namespace simple_qp {

/// Key -> coefficient map that keeps its entries in insertion order. The first
/// `InlineCapacity` entries live inside the map itself, so the small expressions a model
/// builds by the thousand (one to three variables) never touch the heap. Up to `kScanLimit`
/// entries a lookup scans them; beyond that an open-addressing index with linear probing
/// finds keys. Iteration follows insertion order, never the hashing, so every result built
/// from a map is reproducible.
template <class Key, class Hash, std::size_t InlineCapacity>
class TermMap {
public:
    struct Entry {
        Key key;
        double value;
    };
    using const_iterator = const Entry*;

    static_assert(InlineCapacity >= 1, "TermMap needs room for at least one inline entry");
    static_assert(std::is_trivially_copyable_v<Entry>, "entries are moved with memcpy");

    // User-provided so that value-initialisation does not zero the inline storage.
    TermMap() noexcept {}

    TermMap(const TermMap& other) {
        const std::size_t size = other.m_size;
        if (size <= InlineCapacity) {
            copy_entries(m_store.entries, other.data(), size);
            m_size = other.m_size;
            return;
        }
        // A copy gets exactly as many entries as it holds; an index only exists past the
        // inline capacity, so it is copied here or not at all.
        Entry* entries = allocate_entries(size);
        copy_entries(entries, other.m_store.heap.data, size);
        std::uint32_t* slots = nullptr;
        if (other.indexed()) {
            const std::size_t count = other.slot_count();
            try {
                slots = new std::uint32_t[count];
            } catch (...) {
                ::operator delete(entries);
                throw;
            }
            std::memcpy(slots, other.m_store.heap.slots, count * sizeof(std::uint32_t));
        }
        m_store.heap = Heap{entries, slots, other.m_store.heap.shift};
        m_size = other.m_size;
        m_capacity = other.m_size;
    }

    TermMap(TermMap&& other) noexcept { take(other); }

    TermMap& operator=(const TermMap& other) {
        if (this != &other) {
            TermMap copy(other);
            release();
            take(copy);
        }
        return *this;
    }

    TermMap& operator=(TermMap&& other) noexcept {
        if (this != &other) {
            release();
            take(other);
        }
        return *this;
    }

    ~TermMap() { release(); }

    std::size_t size() const noexcept { return m_size; }
    bool empty() const noexcept { return m_size == 0; }
    const_iterator begin() const noexcept { return data(); }
    const_iterator end() const noexcept { return data() + m_size; }

    /// Makes room for `count` entries without further reallocation or re-indexing. The index
    /// itself is only built once the entries outgrow scanning, sized for this capacity.
    void reserve(std::size_t count) {
        if (count > m_capacity) {
            grow_to(count);
        }
        if (indexed() && slot_count() < slot_count_for(count)) {
            rebuild_index(slot_count_for(count));
        }
    }

    /// The coefficient stored for `key`, or nullptr when the key has no entry.
    const double* find(const Key& key) const noexcept {
        const std::size_t position = find_position(key);
        return position == kAbsent ? nullptr : &data()[position].value;
    }

    /// The coefficient of `key`, 0.0 when it has no entry.
    double coefficient(const Key& key) const noexcept {
        const double* value = find(key);
        return value ? *value : 0.0;
    }

    /// Adds `value` to the entry of `key` (stored + value), inserting the entry when absent.
    void add(const Key& key, double value) {
        if (!indexed()) {
            Entry* entries = data();
            for (std::size_t i = 0; i < m_size; ++i) {
                if (entries[i].key == key) {
                    entries[i].value += value;
                    return;
                }
            }
            append(key, value);
            if (m_size > kScanLimit) {
                rebuild_index(slot_count_for(m_capacity));
            }
            return;
        }
        Heap& heap = m_store.heap;
        const std::size_t mask = slot_count() - 1;
        std::size_t slot = home_slot(key, heap.shift);
        for (; heap.slots[slot] != 0; slot = (slot + 1) & mask) {
            Entry& entry = heap.data[heap.slots[slot] - 1];
            if (entry.key == key) {
                entry.value += value;
                return;
            }
        }
        append(key, value);
        m_store.heap.slots[slot] = m_size;
        // Load factor at most one half keeps probe runs short.
        if (2 * static_cast<std::size_t>(m_size) > slot_count()) {
            rebuild_index(2 * slot_count());
        }
    }

    /// Replaces every coefficient v by f(v); keys stay as they are.
    template <class F>
    void transform_values(F f) {
        Entry* entries = data();
        for (std::size_t i = 0; i < m_size; ++i) {
            entries[i].value = f(entries[i].value);
        }
    }

private:
    static constexpr std::size_t kScanLimit = 8;
    static constexpr std::size_t kAbsent = std::numeric_limits<std::size_t>::max();
    // Sizes and slots are 32 bits; a slot stores position + 1, 0 marks a free slot.
    static constexpr std::size_t kMaxEntries = std::numeric_limits<std::uint32_t>::max() - 1;

    // The map once its entries left the inline storage, which then holds this instead.
    struct Heap {
        Entry* data;
        std::uint32_t* slots;  // null while the entries are scanned
        unsigned shift;        // 64 - log2(slot count)
    };
    union Store {
        Entry entries[InlineCapacity];
        Heap heap;
    };
    static_assert(std::is_trivially_copyable_v<Heap>);

    static std::size_t slot_count_for(std::size_t count) {
        return std::bit_ceil(std::max<std::size_t>(16, 2 * count));
    }

    static Entry* allocate_entries(std::size_t count) {
        // Entries are trivial: raw storage, each written before it is read.
        return static_cast<Entry*>(::operator new(count * sizeof(Entry)));
    }

    static void copy_entries(Entry* to, const Entry* from, std::size_t count) noexcept {
        if (count != 0) {
            std::memcpy(static_cast<void*>(to), from, count * sizeof(Entry));
        }
    }

    bool on_heap() const noexcept { return m_capacity > InlineCapacity; }
    bool indexed() const noexcept { return on_heap() && m_store.heap.slots != nullptr; }
    Entry* data() noexcept { return on_heap() ? m_store.heap.data : m_store.entries; }
    const Entry* data() const noexcept { return on_heap() ? m_store.heap.data : m_store.entries; }
    std::size_t slot_count() const noexcept {
        return indexed() ? std::size_t{1} << (64 - m_store.heap.shift) : 0;
    }

    // Leaves the map empty with inline storage, freeing what it owned.
    void release() noexcept {
        if (on_heap()) {
            delete[] m_store.heap.slots;
            ::operator delete(m_store.heap.data);
        }
        m_size = 0;
        m_capacity = InlineCapacity;
    }

    // Takes over `other`'s contents (this map must own nothing); `other` ends empty.
    void take(TermMap& other) noexcept {
        // The whole store in one fixed-size copy: inline entries or the heap record.
        std::memcpy(static_cast<void*>(&m_store), &other.m_store, sizeof(Store));
        m_size = other.m_size;
        m_capacity = other.m_capacity;
        other.m_size = 0;
        other.m_capacity = InlineCapacity;
    }

    void grow_to(std::size_t capacity) {
        if (capacity > kMaxEntries) {
            throw std::length_error("TermMap: too many entries");
        }
        Entry* entries = allocate_entries(capacity);
        copy_entries(entries, data(), m_size);
        if (on_heap()) {
            ::operator delete(m_store.heap.data);
            m_store.heap.data = entries;
        } else {
            m_store.heap = Heap{entries, nullptr, 64};
        }
        m_capacity = static_cast<std::uint32_t>(capacity);
    }

    void append(const Key& key, double value) {
        if (m_size == m_capacity) {
            if (m_size >= kMaxEntries) {
                throw std::length_error("TermMap: too many entries");
            }
            grow_to(std::clamp<std::size_t>(2 * static_cast<std::size_t>(m_capacity), 4,
                                            kMaxEntries));
        }
        data()[m_size] = Entry{key, value};
        ++m_size;
    }

    static std::size_t home_slot(const Key& key, unsigned shift) noexcept {
        // Fibonacci hashing: the high bits of key·2^64/φ. Runs of dense indices, as a model's
        // variables and the products of neighbouring ones are, land evenly spread, so probes
        // stay short; it is also cheaper than a full mixing function.
        const std::uint64_t h = Hash{}(key) * 0x9e3779b97f4a7c15ULL;
        return static_cast<std::size_t>(h >> shift);
    }

    std::size_t find_position(const Key& key) const noexcept {
        const Entry* entries = data();
        if (!indexed()) {
            for (std::size_t i = 0; i < m_size; ++i) {
                if (entries[i].key == key) {
                    return i;
                }
            }
            return kAbsent;
        }
        const Heap& heap = m_store.heap;
        const std::size_t mask = slot_count() - 1;
        for (std::size_t slot = home_slot(key, heap.shift); heap.slots[slot] != 0;
             slot = (slot + 1) & mask) {
            if (entries[heap.slots[slot] - 1].key == key) {
                return heap.slots[slot] - 1;
            }
        }
        return kAbsent;
    }

    // Only called on a heap map: the scan limit is above the inline capacity.
    void rebuild_index(std::size_t slot_count) {
        std::uint32_t* slots = new std::uint32_t[slot_count]();
        Heap& heap = m_store.heap;
        delete[] heap.slots;
        heap.slots = slots;
        heap.shift = 64 - static_cast<unsigned>(std::countr_zero(slot_count));
        const std::size_t mask = slot_count - 1;
        for (std::size_t i = 0; i < m_size; ++i) {
            std::size_t slot = home_slot(heap.data[i].key, heap.shift);
            while (slots[slot] != 0) {
                slot = (slot + 1) & mask;
            }
            slots[slot] = static_cast<std::uint32_t>(i + 1);
        }
    }

    static_assert(InlineCapacity < kScanLimit, "an index needs its entries on the heap");

    Store m_store;
    std::uint32_t m_size = 0;
    std::uint32_t m_capacity = InlineCapacity;  // above InlineCapacity: `m_store.heap` is live
};

}  // namespace simple_qp
