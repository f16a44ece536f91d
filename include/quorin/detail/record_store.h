// Fixed-length records of unsigned integers, 1, 2 or 4 bytes wide (chosen at run time),
// appended at the end and kept in blocks of fixed size.
//
// Growing never moves a record and adds one block at a time, so peak memory tracks the
// records held instead of doubling with each reallocation. Space is made by `reserve`,
// which is the only operation that allocates; appending into reserved space cannot fail.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace quorin {

class RecordStore {
public:
    // Blocks hold a power-of-two number of records and at most this many bytes (or one
    // record, if a record is larger).
    static constexpr std::size_t kBlockBytes = std::size_t{1} << 16;

    // The narrowest width, in bytes, of an unsigned integer that holds `maxValue`.
    static constexpr unsigned entryBytesFor(std::uint64_t maxValue) noexcept {
        return maxValue <= 0xffu ? 1u : maxValue <= 0xffffu ? 2u : 4u;
    }

    RecordStore() noexcept : RecordStore(0, 1) {}
    RecordStore(std::size_t recordLength, unsigned entryBytes) noexcept
        : recordLength_(recordLength), entryBytes_(entryBytes), recordBytes_(recordLength * entryBytes) {
        std::size_t perBlock = 1;
        while (perBlock * 2 * recordBytes_ <= kBlockBytes && shift_ < 16) {
            perBlock *= 2;
            ++shift_;
        }
        mask_ = perBlock - 1;
    }

    RecordStore(const RecordStore& other) : RecordStore(other.recordLength_, other.entryBytes_) {
        reserve(other.size_);
        for (std::size_t b = 0; b < blocks_.size() && b < other.blocks_.size(); ++b) {
            std::memcpy(blocks_[b].get(), other.blocks_[b].get(), blockBytes());
        }
        size_ = other.size_;
    }
    RecordStore& operator=(const RecordStore& other) {
        if (this != &other) {
            RecordStore copy(other);
            *this = std::move(copy);
        }
        return *this;
    }
    RecordStore(RecordStore&&) noexcept = default;
    RecordStore& operator=(RecordStore&&) noexcept = default;

    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    std::size_t recordLength() const noexcept { return recordLength_; }
    unsigned entryBytes() const noexcept { return entryBytes_; }
    // Records that fit without allocating.
    std::size_t capacity() const noexcept { return blocks_.size() << shift_; }
    // Bytes held in blocks.
    std::size_t allocatedBytes() const noexcept { return blocks_.size() * blockBytes(); }

    // Makes room for `records` records in all. Either succeeds or leaves the records as
    // they were (it may keep blocks it managed to allocate).
    void reserve(std::size_t records) {
        if (records <= capacity()) return;
        const std::size_t blocksNeeded = ((records - 1) >> shift_) + 1;
        blocks_.reserve(blocksNeeded);
        while (blocks_.size() < blocksNeeded) {
            // Left uninitialised: pages are touched only as records are written.
            blocks_.emplace_back(new unsigned char[blockBytes()]);
        }
    }

    // Record `index` as entries of type T; sizeof(T) must equal entryBytes().
    template <class T>
    T* record(std::size_t index) noexcept {
        return reinterpret_cast<T*>(blocks_[index >> shift_].get() + (index & mask_) * recordBytes_);
    }
    template <class T>
    const T* record(std::size_t index) const noexcept {
        return reinterpret_cast<const T*>(blocks_[index >> shift_].get() + (index & mask_) * recordBytes_);
    }

    // Appends a record with unspecified entries and returns its index. Requires
    // size() < capacity().
    std::size_t append() noexcept { return size_++; }

    // Appends a copy of `entries` (recordLength() of them). Requires size() < capacity().
    template <class T>
    std::size_t append(const T* entries) noexcept {
        if (recordBytes_ != 0) std::memcpy(record<T>(size_), entries, recordBytes_);
        return size_++;
    }

    // Calls f(bytes, count) for the records in index order, once per block with the
    // filled part of that block: the whole store as a few block copies.
    template <class F>
    void forEachChunk(F&& f) const {
        const std::size_t perBlock = mask_ + 1;
        for (std::size_t first = 0, b = 0; first < size_; first += perBlock, ++b) {
            const std::size_t count = size_ - first < perBlock ? size_ - first : perBlock;
            f(static_cast<const unsigned char*>(blocks_[b].get()), count);
        }
    }

    // Appends `count` records copied from `bytes` (count * recordLength() entries, as
    // forEachChunk hands them out). Allocates; on failure the records are as they were.
    void appendRecords(const unsigned char* bytes, std::size_t count) {
        reserve(size_ + count);
        while (count != 0) {
            const std::size_t room = (mask_ + 1) - (size_ & mask_);
            const std::size_t n = count < room ? count : room;
            if (recordBytes_ != 0) std::memcpy(record<unsigned char>(size_), bytes, n * recordBytes_);
            bytes += n * recordBytes_;
            size_ += n;
            count -= n;
        }
    }

    // Same shape and the same records.
    friend bool operator==(const RecordStore& a, const RecordStore& b) noexcept {
        if (a.recordLength_ != b.recordLength_ || a.entryBytes_ != b.entryBytes_ || a.size_ != b.size_) return false;
        for (std::size_t i = 0; i < a.size_; ++i) {
            if (std::memcmp(a.record<unsigned char>(i), b.record<unsigned char>(i), a.recordBytes_) != 0) return false;
        }
        return true;
    }
    friend bool operator!=(const RecordStore& a, const RecordStore& b) noexcept { return !(a == b); }

private:
    std::size_t blockBytes() const noexcept { return recordBytes_ == 0 ? 1 : (mask_ + 1) * recordBytes_; }

    std::vector<std::unique_ptr<unsigned char[]>> blocks_;
    std::size_t recordLength_;
    unsigned entryBytes_;
    std::size_t recordBytes_;
    unsigned shift_ = 0;    // log2 of records per block
    std::size_t mask_ = 0;  // records per block - 1
    std::size_t size_ = 0;
};

}  // namespace quorin
