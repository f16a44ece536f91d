// An open-addressing hash set of the ids 0, 1, ..., size() - 1 of keys stored elsewhere.
//
// Ids are handed out densely: the key inserted n-th gets id n. The caller hashes its key
// and says whether the key of a stored id equals the one looked for; the table never sees
// a key. A hash is reduced to a 32-bit fingerprint (Fibonacci hashing: its top bits pick
// the home slot, the bits below them form a tag). Each slot is 32 bits: the id (plus one,
// so that 0 marks an empty slot) in the low log2(capacity) bits and the tag above it, so
// that most mismatches are settled without reading the key. Capacity is a power of two,
// probing is linear, the load stays at most 3/4.
//
// Growing rehashes every id, in id order: through the caller's hash, or, for a table
// that keeps fingerprints (4 bytes per id), from those, without reading any key. `reserve`
// is the only operation that allocates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <utility>

#include "record_store.h"

namespace quorin {

class IdHashTable {
public:
    using Id = std::uint32_t;
    static constexpr Id kNotFound = 0xffffffffu;

    explicit IdHashTable(bool keepFingerprints = false) : keepFingerprints_(keepFingerprints) {}
    IdHashTable(const IdHashTable& other)
        : slots_(other.capacity_ == 0 ? nullptr : new Id[other.capacity_]),
          capacity_(other.capacity_),
          idBits_(other.idBits_),
          size_(other.size_),
          keepFingerprints_(other.keepFingerprints_),
          fingerprints_(other.fingerprints_) {
        for (std::size_t i = 0; i < capacity_; ++i) slots_[i] = other.slots_[i];
    }
    IdHashTable& operator=(const IdHashTable& other) {
        if (this != &other) {
            IdHashTable copy(other);
            swap(copy);
        }
        return *this;
    }
    IdHashTable(IdHashTable&& other) noexcept { swap(other); }
    IdHashTable& operator=(IdHashTable&& other) noexcept {
        IdHashTable moved(std::move(other));
        swap(moved);
        return *this;
    }

    // An empty table of `capacity` slots, a power of two from 16 to 2^32: to insert ids
    // again in id order, which reproduces a table of that capacity slot for slot.
    static IdHashTable withCapacity(std::size_t capacity, bool keepFingerprints) {
        unsigned bits = 4;
        while ((std::size_t{1} << bits) < capacity) ++bits;
        IdHashTable table(bits);
        table.keepFingerprints_ = keepFingerprints;
        return table;
    }

    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return capacity_; }
    bool keepsFingerprints() const noexcept { return keepFingerprints_; }
    // The most ids the table can ever hold.
    static constexpr std::size_t maxSize() noexcept { return (std::size_t{1} << 32) / 4 * 3; }

    // Makes room for `count` ids in all, rehashing ids 0 .. size() - 1 if the table has to
    // grow (with hashOf(id), unless fingerprints are kept). Either succeeds or leaves the
    // table as it was. Throws std::length_error beyond maxSize().
    template <class HashOf>
    void reserve(std::size_t count, HashOf&& hashOf) {
        if (keepFingerprints_) fingerprints_.reserve(count);
        if (count <= capacity_ / 4 * 3) return;
        if (count > maxSize()) throw std::length_error("quorin: more keys than a 32-bit id table can hold");
        unsigned bits = idBits_ < 4 ? 4 : idBits_;
        while ((std::size_t{1} << bits) / 4 * 3 < count) ++bits;
        IdHashTable grown(bits);
        // In batches: the slots of a batch are requested together, before any is written.
        constexpr std::size_t kBatch = 16;
        std::uint32_t batch[kBatch];
        for (std::size_t first = 0; first < size_; first += kBatch) {
            const std::size_t count = size_ - first < kBatch ? size_ - first : kBatch;
            for (std::size_t i = 0; i < count; ++i) {
                const Id id = static_cast<Id>(first + i);
                batch[i] = keepFingerprints_ ? *fingerprints_.record<std::uint32_t>(id) : fingerprint(hashOf(id));
                grown.prefetchSlot(batch[i]);
            }
            for (std::size_t i = 0; i < count; ++i) grown.place(batch[i], static_cast<Id>(first + i));
        }
        grown.size_ = size_;
        std::swap(slots_, grown.slots_);
        std::swap(capacity_, grown.capacity_);
        std::swap(idBits_, grown.idBits_);
    }

    // The id whose key has hash `hash` and satisfies equals(id), or kNotFound.
    template <class Equals>
    Id find(std::uint64_t hash, Equals&& equals) const {
        if (capacity_ == 0) return kNotFound;
        const std::uint32_t print = fingerprint(hash);
        const Id tag = tagOf(print);
        for (std::size_t slot = homeOf(print);; slot = (slot + 1) & (capacity_ - 1)) {
            const Id stored = slots_[slot];
            if (stored == 0) return kNotFound;
            if ((stored & ~idMask()) == tag && equals(idIn(stored))) return idIn(stored);
        }
    }

    // find(), and when absent inserts the next id, size(). Returns the id and whether it
    // was inserted. Requires room for one more id (see reserve).
    template <class Equals>
    std::pair<Id, bool> findOrInsert(std::uint64_t hash, Equals&& equals) {
        const std::uint32_t print = fingerprint(hash);
        const Id tag = tagOf(print);
        std::size_t slot = homeOf(print);
        for (;; slot = (slot + 1) & (capacity_ - 1)) {
            const Id stored = slots_[slot];
            if (stored == 0) break;
            if ((stored & ~idMask()) == tag && equals(idIn(stored))) return {idIn(stored), false};
        }
        const Id id = static_cast<Id>(size_++);
        slots_[slot] = tag | (id + 1);
        if (keepFingerprints_) *fingerprints_.record<std::uint32_t>(fingerprints_.append()) = print;
        return {id, true};
    }

    // Calls onMatch(id) for every id whose slot a lookup of `hash` would compare (those
    // with the same tag), without comparing keys: to request those keys ahead of time.
    template <class OnMatch>
    void forEachTagMatch(std::uint64_t hash, OnMatch&& onMatch) const {
        if (capacity_ == 0) return;
        const std::uint32_t print = fingerprint(hash);
        const Id tag = tagOf(print);
        for (std::size_t slot = homeOf(print); slots_[slot] != 0; slot = (slot + 1) & (capacity_ - 1)) {
            if ((slots_[slot] & ~idMask()) == tag) onMatch(idIn(slots_[slot]));
        }
    }

    // Hints the processor to fetch the slot where a lookup of `hash` starts.
    void prefetch(std::uint64_t hash) const noexcept {
        if (capacity_ != 0) prefetchSlot(fingerprint(hash));
    }

    // The same ids in the same slots.
    friend bool operator==(const IdHashTable& a, const IdHashTable& b) noexcept {
        if (a.capacity_ != b.capacity_ || a.size_ != b.size_) return false;
        for (std::size_t i = 0; i < a.capacity_; ++i) {
            if (a.slots_[i] != b.slots_[i]) return false;
        }
        return true;
    }
    friend bool operator!=(const IdHashTable& a, const IdHashTable& b) noexcept { return !(a == b); }

private:
    explicit IdHashTable(unsigned bits)
        : slots_(new Id[std::size_t{1} << bits]()), capacity_(std::size_t{1} << bits), idBits_(bits) {}

    void swap(IdHashTable& other) noexcept {
        std::swap(slots_, other.slots_);
        std::swap(capacity_, other.capacity_);
        std::swap(idBits_, other.idBits_);
        std::swap(size_, other.size_);
        std::swap(keepFingerprints_, other.keepFingerprints_);
        std::swap(fingerprints_, other.fingerprints_);
    }

    static std::uint32_t fingerprint(std::uint64_t hash) noexcept {
        return static_cast<std::uint32_t>((hash * 0x9e3779b97f4a7c15ull) >> 32);
    }
    std::size_t homeOf(std::uint32_t print) const noexcept { return print >> (32 - idBits_); }
    Id idMask() const noexcept { return static_cast<Id>((std::uint64_t{1} << idBits_) - 1); }
    // The fingerprint's bits below the home bits, moved above the id bits.
    Id tagOf(std::uint32_t print) const noexcept { return static_cast<Id>(std::uint64_t{print} << idBits_); }
    Id idIn(Id stored) const noexcept { return (stored & idMask()) - 1; }

    void prefetchSlot(std::uint32_t print) const noexcept {
#if defined(__GNUC__)
        __builtin_prefetch(&slots_[homeOf(print)]);
#else
        (void)print;
#endif
    }

    // Inserts an id known to be absent.
    void place(std::uint32_t print, Id id) noexcept {
        std::size_t slot = homeOf(print);
        while (slots_[slot] != 0) slot = (slot + 1) & (capacity_ - 1);
        slots_[slot] = tagOf(print) | (id + 1);
    }

    std::unique_ptr<Id[]> slots_;
    std::size_t capacity_ = 0;
    unsigned idBits_ = 0;
    std::size_t size_ = 0;
    bool keepFingerprints_ = false;
    RecordStore fingerprints_{1, 4};  // per id, when kept
};

}  // namespace quorin
