// Saving an enumerator's complete state as bytes and loading it back.
//
// Format versions 1 and 2. Integers are unsigned and little-endian whatever the machine,
// doubles their IEEE-754 bits as a little-endian 64-bit integer. R is the header's rank
// width, W its row width; r rows, row i of n_i columns; N nodes. Version 2 adds one field,
// the count of configurations put back; a state is saved in version 1 unless it has some,
// so that every other state still loads in builds that read version 1 only.
//
//   bytes        field
//   8            magic tag 89 51 55 4f 52 49 4e 0a ("\x89QUORIN\n")
//   4            format version, 1 or 2
//   1            R: bytes per stored rank, the narrowest of 1, 2, 4 that holds every last rank
//   1            W: bytes per row index, counter and list entry, the narrowest that holds r
//   1            flags: bit 0 the successor cache is on, bit 1 exhausted; the rest 0
//   1            0
//   8            size of the whole saved state in bytes, this header and the checksum included
//   -- payload --
//   8            r
//   8 r          n_0 .. n_{r-1}
//   8 sum(n_i)   costs, row after row: costs[i][j] = -ln(probs[i][j]), as computed at construction
//   4 sum(n_i)   order, row after row: row i's columns by ascending cost (the tie order kept)
//   8            emittedCount (two's complement)
//   version 2 only:
//     8          replayCount, at least 1 (two's complement)
//   8            N
//   N r R        the nodes' ranks, by node id
//   N W          expandCount, by node id
//   if the cache is on:
//     8          L, the number of cached lists
//     L (r+1) W  the lists: r entries (row indices, then 2^(8W)-1 per row at its last rank),
//                then 1 if the listed rows' deltas rise strictly, else 0
//     4 N        listOfNode, by node id: 1 + the node's list index, or 0
//   8            H
//   4 H          history, node ids
//   8            F
//   16 F         the frontier's slots in heap order: parent (4), child (4; ffffffff for the
//                construction entry), cost (8)
//   8            capacity of the visited table: the table is rebuilt by inserting node ids
//                0 .. N-1 in order into a table of that capacity, which places every id
//                where the saved table had it
//   -- end of payload --
//   8            checksum of every byte before it (saved_state::checksum)
//
// Loading checks the header, the size and the checksum first, then reads every count
// against the bytes that remain before allocating for it, and checks every invariant the
// stepping code relies on (see the checks below) before an enumerator exists.
#include <quorin/saved_state.h>

#include <quorin/quorin.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <istream>
#include <limits>
#include <ostream>
#include <stdexcept>
#include <string>
#include <utility>

#include "heap/core_helpers.h"

namespace quorin {
namespace {

using namespace detail;  // the heap engine's helpers: costs, deltas, widths

constexpr unsigned char kMagic[8] = {0x89, 'Q', 'U', 'O', 'R', 'I', 'N', '\n'};
constexpr std::size_t kMinSize = saved_state::kHeaderBytes + saved_state::kChecksumBytes;
// Advances make room for this many nodes ahead, so a visited table is never more than
// twice the size that the nodes plus that room need.
constexpr std::size_t kNodesReservedAhead = detail::kReservedSteps * detail::kNodesPerStep;

static_assert(sizeof(assignment) == 16 && offsetof(assignment, child) == 4 && offsetof(assignment, cost) == 8,
              "a frontier slot is saved as one 16-byte block");
static_assert(std::numeric_limits<double>::is_iec559 && sizeof(double) == 8, "doubles are saved as IEEE-754 bits");

bool littleEndian() noexcept {
    const std::uint16_t one = 1;
    unsigned char first;
    std::memcpy(&first, &one, 1);
    return first == 1;
}

std::uint64_t load64(const unsigned char* p) noexcept {
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = value << 8 | p[i];
    return value;
}

std::uint64_t rotl(std::uint64_t x, int n) noexcept { return x << n | x >> (64 - n); }

// A bijective finaliser: every bit of the result depends on every bit of x.
std::uint64_t mix(std::uint64_t x) noexcept {
    x = (x ^ (x >> 33)) * 0xff51afd7ed558ccdull;
    x = (x ^ (x >> 33)) * 0xc4ceb9fe1a85ec53ull;
    return x ^ (x >> 33);
}

// Four lanes, each a chain of bijections (xor a word, multiply by an odd constant,
// rotate): a changed word changes its lane's end value for certain, and the lanes run
// side by side, so the sum keeps up with memory.
class Checksum {
public:
    void update(const unsigned char* data, std::size_t size) {
        length_ += size;
        if (pendingBytes_ != 0) {
            const std::size_t n = size < kBlock - pendingBytes_ ? size : kBlock - pendingBytes_;
            std::memcpy(pending_ + pendingBytes_, data, n);
            pendingBytes_ += n;
            data += n;
            size -= n;
            if (pendingBytes_ < kBlock) return;
            blocks(pending_, 1);
            pendingBytes_ = 0;
        }
        blocks(data, size / kBlock);
        data += size / kBlock * kBlock;
        size %= kBlock;
        std::memcpy(pending_, data, size);
        pendingBytes_ = size;
    }

    std::uint64_t finish() {
        if (pendingBytes_ != 0) {
            std::memset(pending_ + pendingBytes_, 0, kBlock - pendingBytes_);
            blocks(pending_, 1);
        }
        std::uint64_t h = mix(length_ ^ 0x51554f52494e0001ull);
        for (int j = 0; j < 4; ++j) h = (h ^ mix(lane_[j])) * kMultiplier[j];
        return mix(h);
    }

private:
    static constexpr std::size_t kBlock = 32;
    static constexpr std::uint64_t kMultiplier[4] = {0x9e3779b97f4a7c15ull, 0xc2b2ae3d27d4eb4full,
                                                     0x165667b19e3779f9ull, 0xd6e8feb86659fd93ull};

    void blocks(const unsigned char* p, std::size_t count) noexcept {
        std::uint64_t a = lane_[0], b = lane_[1], c = lane_[2], d = lane_[3];
        const bool little = littleEndian();
        for (; count != 0; --count, p += kBlock) {
            std::uint64_t w[4];
            if (little) {
                std::memcpy(w, p, kBlock);
            } else {
                for (int j = 0; j < 4; ++j) w[j] = load64(p + 8 * j);
            }
            a = rotl((a ^ w[0]) * kMultiplier[0], 31);
            b = rotl((b ^ w[1]) * kMultiplier[1], 31);
            c = rotl((c ^ w[2]) * kMultiplier[2], 31);
            d = rotl((d ^ w[3]) * kMultiplier[3], 31);
        }
        lane_[0] = a, lane_[1] = b, lane_[2] = c, lane_[3] = d;
    }

    std::uint64_t lane_[4] = {0x243f6a8885a308d3ull, 0x13198a2e03707344ull, 0xa4093822299f31d0ull,
                              0x082efa98ec4e6c89ull};
    unsigned char pending_[kBlock] = {};
    std::size_t pendingBytes_ = 0;
    std::uint64_t length_ = 0;
};

// How far ahead the checks over nodes in random order request what they will read.
constexpr std::size_t kAhead = 128;

[[noreturn]] void refuse(const std::string& what) { throw std::invalid_argument("saved quorin state: " + what); }

std::string str(std::uint64_t value) { return std::to_string(value); }

// --- writing ------------------------------------------------------------------------

// Writes fields through `sink(bytes, count)`, summing them as they go.
template <class Sink>
class Writer {
public:
    explicit Writer(Sink& sink) : sink_(sink), little_(littleEndian()) {}

    void bytes(const unsigned char* data, std::size_t size) {
        if (size == 0) return;
        checksum_.update(data, size);
        sink_(data, size);
        written_ += size;
    }
    void u8(unsigned value) {
        const auto byte = static_cast<unsigned char>(value);
        bytes(&byte, 1);
    }
    void u32(std::uint32_t value) { integer(value, 4); }
    void u64(std::uint64_t value) { integer(value, 8); }
    void f64(double value) {
        std::uint64_t bits;
        std::memcpy(&bits, &value, 8);
        u64(bits);
    }

    // `count` integers of `width` bytes in machine order, written little-endian.
    void entries(const void* data, std::size_t count, unsigned width) {
        const auto* p = static_cast<const unsigned char*>(data);
        if (little_) return bytes(p, count * width);
        unsigned char swapped[256];
        const std::size_t perPiece = sizeof swapped / width;
        for (; count != 0;) {
            const std::size_t n = count < perPiece ? count : perPiece;
            for (std::size_t i = 0; i < n * width; i += width) {
                for (unsigned k = 0; k < width; ++k) swapped[i + k] = p[i + width - 1 - k];
            }
            bytes(swapped, n * width);
            p += n * width;
            count -= n;
        }
    }

    void store(const RecordStore& store) {
        store.forEachChunk([&](const unsigned char* chunk, std::size_t records) {
            entries(chunk, records * store.recordLength(), store.entryBytes());
        });
    }

    // Closes the state with the checksum of everything written.
    void seal() {
        unsigned char out[8];
        std::uint64_t sum = checksum_.finish();
        for (unsigned char& byte : out) byte = static_cast<unsigned char>(sum), sum >>= 8;
        sink_(out, 8);
        written_ += 8;
    }

    std::size_t written() const noexcept { return written_; }

private:
    void integer(std::uint64_t value, unsigned width) {
        unsigned char out[8];
        for (unsigned i = 0; i < width; ++i) out[i] = static_cast<unsigned char>(value >> (8 * i));
        bytes(out, width);
    }

    Sink& sink_;
    Checksum checksum_;
    std::size_t written_ = 0;
    const bool little_;
};

template <class Sink>
void writeState(const Quorin& q, std::size_t total, Sink& sink) {
    const State& s = q.state;
    Writer<Sink> w(sink);
    const bool replays = s.replayCount != 0;
    w.bytes(kMagic, sizeof kMagic);
    w.u32(replays ? saved_state::kFormatVersion : saved_state::kFirstFormatVersion);
    w.u8(s.rankBytes());
    w.u8(s.rowBytes());
    w.u8((q.cacheAssignments ? saved_state::kFlagCache : 0) | (q.exhausted ? saved_state::kFlagExhausted : 0));
    w.u8(0);
    w.u64(total);

    w.u64(s.rows());
    for (const std::vector<double>& row : s.costs) w.u64(row.size());
    for (const std::vector<double>& row : s.costs) w.entries(row.data(), row.size(), 8);
    for (const std::vector<int>& row : s.order) w.entries(row.data(), row.size(), 4);
    w.u64(static_cast<std::uint64_t>(s.emittedCount));
    if (replays) w.u64(static_cast<std::uint64_t>(s.replayCount));
    w.u64(s.nodes.size());
    w.store(s.nodes);
    w.store(s.expandCount);
    if (q.cacheAssignments) {
        w.u64(s.successorCache.lists.size());
        w.store(s.successorCache.lists);
        w.store(s.successorCache.listOfNode);
    }
    w.u64(s.history.size());
    w.entries(s.history.data(), s.history.size(), 4);
    w.u64(s.frontier.size());
    if (!s.frontier.empty()) {
        if (littleEndian()) {
            w.bytes(reinterpret_cast<const unsigned char*>(&s.frontier.slot(0)), s.frontier.size() * sizeof(assignment));
        } else {
            for (std::size_t i = 0; i < s.frontier.size(); ++i) {
                w.u32(s.frontier.slot(i).parent);
                w.u32(s.frontier.slot(i).child);
                w.f64(s.frontier.slot(i).cost);
            }
        }
    }
    w.u64(s.visited.capacity());
    w.seal();
    if (w.written() != total) throw std::logic_error("quorin: saved state size miscounted");
}

// --- reading ------------------------------------------------------------------------

// The payload, read front to back; every read is checked against the bytes left.
class ByteReader {
public:
    ByteReader(const unsigned char* data, std::size_t size) : p_(data), left_(size) {}

    std::size_t left() const noexcept { return left_; }

    const unsigned char* take(std::size_t size, const char* what) {
        if (size > left_) refuse(std::string("truncated in ") + what);
        const unsigned char* at = p_;
        p_ += size;
        left_ -= size;
        return at;
    }
    std::uint64_t u64(const char* what) { return load64(take(8, what)); }

    // A count of items of `itemBytes` each that must follow: refused, before anything is
    // allocated for it, if the bytes left cannot hold that many.
    std::size_t count(const char* what, std::size_t itemBytes) {
        const std::uint64_t value = u64(what);
        if (itemBytes != 0 && value > left_ / itemBytes) {
            refuse(std::string(what) + " " + str(value) + " claims more bytes than the saved state holds");
        }
        if (value > std::numeric_limits<std::size_t>::max()) refuse(std::string(what) + " is too large");
        return static_cast<std::size_t>(value);
    }

    // `count` little-endian integers of `width` bytes into `out`, in machine order.
    void entries(void* out, std::size_t count, unsigned width, const char* what) {
        const unsigned char* from = take(count * width, what);
        auto* to = static_cast<unsigned char*>(out);
        if (littleEndian()) {
            if (count != 0) std::memcpy(to, from, count * width);
            return;
        }
        for (std::size_t i = 0; i < count * width; i += width) {
            for (unsigned k = 0; k < width; ++k) to[i + k] = from[i + width - 1 - k];
        }
    }

    // `count` records appended to `store`, whose width they have.
    void records(RecordStore& store, std::size_t count, const char* what) {
        const std::size_t width = store.entryBytes();
        const std::size_t recordBytes = store.recordLength() * width;
        if (recordBytes != 0 && count > left_ / recordBytes) refuse(std::string("truncated in ") + what);
        if (littleEndian()) {
            store.appendRecords(take(count * recordBytes, what), count);
            return;
        }
        std::vector<unsigned char> record(recordBytes);
        store.reserve(store.size() + count);
        for (std::size_t i = 0; i < count; ++i) {
            entries(record.data(), store.recordLength(), store.entryBytes(), what);
            store.appendRecords(record.data(), 1);
        }
    }

private:
    const unsigned char* p_;
    std::size_t left_;
};

}  // namespace

// Builds a Quorin from saved bytes: reads the fields, checks them, then rebuilds the
// visited table. Nothing reaches an enumerator before every check has passed.
class SavedStateReader {
public:
    static Quorin load(const unsigned char* data, std::size_t size);

private:
    SavedStateReader(ByteReader in, std::uint32_t version, unsigned rankBytes, unsigned rowBytes, bool cache,
                     bool exhausted)
        : in_(in), version_(version), rankBytes_(rankBytes), rowBytes_(rowBytes), cache_(cache), exhausted_(exhausted) {}

public:
    // The format version, once the magic tag and the version are checked.
    static std::uint32_t checkTagAndVersion(const unsigned char* data, std::size_t size);

private:
    static std::uint32_t checkHeader(const unsigned char* data, std::size_t size);

    void readMatrix();
    void readNodes();
    void readHistoryAndFrontier();

    void checkMatrix() const;
    void checkRanks() const;
    void checkCounters() const;
    void markHistory();
    void checkFrontier();
    template <class Rank, class Row>
    void checkFrontierEntries();
    template <class Rank>
    bool raisesRowAt(const Rank* node, std::size_t raised, std::size_t counter) const;
    void checkEveryNodePlaced() const;
    void checkProgress() const;
    void checkSuccessorCache() const;
    template <class Rank, class Row>
    void checkLists() const;
    void rebuildVisited(std::uint64_t capacity);

    // Roles of a node, one byte per node id.
    static constexpr std::uint8_t kInHistory = 1, kHasEntry = 2, kIsChild = 4;

    ByteReader in_;
    const std::uint32_t version_;
    const unsigned rankBytes_, rowBytes_;
    const bool cache_, exhausted_;
    State s_;
    std::vector<std::uint8_t> role_;
};

// The magic tag and the version, from the first kHeaderBytes bytes.
std::uint32_t SavedStateReader::checkTagAndVersion(const unsigned char* data, std::size_t size) {
    if (size < sizeof kMagic || std::memcmp(data, kMagic, sizeof kMagic) != 0) {
        if (size < sizeof kMagic && (size == 0 || std::memcmp(data, kMagic, size) == 0)) refuse("truncated in the header");
        throw std::invalid_argument("not a saved quorin state (its first bytes are not quorin's magic tag)");
    }
    if (size < saved_state::kHeaderBytes) refuse("truncated in the header");
    std::uint32_t version = 0;
    for (int i = 3; i >= 0; --i) version = version << 8 | data[saved_state::kVersionOffset + i];
    if (version < saved_state::kFirstFormatVersion || version > saved_state::kFormatVersion) {
        refuse("format version " + str(version) + " is not supported (this build reads versions " +
               str(saved_state::kFirstFormatVersion) + " to " + str(saved_state::kFormatVersion) + ")");
    }
    return version;
}

// Tag, version, size and checksum, before any field is believed.
std::uint32_t SavedStateReader::checkHeader(const unsigned char* data, std::size_t size) {
    const std::uint32_t version = checkTagAndVersion(data, size);
    if (size < kMinSize) refuse("truncated before the checksum");
    const std::uint64_t total = load64(data + saved_state::kSizeOffset);
    if (total > size) refuse("truncated: its header gives " + str(total) + " bytes, " + str(size) + " are present");
    if (total < size) refuse(str(size - total) + " bytes follow the end of the state");
    const std::uint64_t expected = load64(data + size - saved_state::kChecksumBytes);
    if (saved_state::checksum(data, size - saved_state::kChecksumBytes) != expected) {
        refuse("checksum mismatch: the bytes have been altered");
    }
    return version;
}

Quorin SavedStateReader::load(const unsigned char* data, std::size_t size) {
    const std::uint32_t version = checkHeader(data, size);
    const unsigned rankBytes = data[saved_state::kRankBytesOffset];
    const unsigned rowBytes = data[saved_state::kRowBytesOffset];
    const unsigned flags = data[saved_state::kFlagsOffset];
    if (rankBytes != 1 && rankBytes != 2 && rankBytes != 4) refuse("rank width " + str(rankBytes) + " is not 1, 2 or 4");
    if (rowBytes != 1 && rowBytes != 2 && rowBytes != 4) refuse("row width " + str(rowBytes) + " is not 1, 2 or 4");
    if ((flags & ~(saved_state::kFlagCache | saved_state::kFlagExhausted)) != 0 || data[saved_state::kFlagsOffset + 1] != 0) {
        refuse("unknown flags " + str(flags));
    }
    SavedStateReader reader(ByteReader(data + saved_state::kHeaderBytes, size - kMinSize), version, rankBytes, rowBytes,
                            (flags & saved_state::kFlagCache) != 0, (flags & saved_state::kFlagExhausted) != 0);
    reader.readMatrix();
    reader.checkMatrix();
    reader.readNodes();
    reader.checkRanks();
    reader.checkCounters();
    reader.readHistoryAndFrontier();
    const std::uint64_t capacity = reader.in_.u64("the visited table's capacity");
    if (reader.in_.left() != 0) refuse(str(reader.in_.left()) + " unread bytes before the checksum");
    reader.markHistory();
    reader.checkFrontier();
    reader.checkEveryNodePlaced();
    reader.checkProgress();
    reader.checkSuccessorCache();
    reader.rebuildVisited(capacity);
    return Quorin(std::move(reader.s_), reader.cache_, reader.exhausted_);
}

void SavedStateReader::readMatrix() {
    const std::size_t rows = in_.count("row count", 8);
    if (rows >= std::size_t{0xffffffffu}) refuse("more than 2^32 - 2 rows");
    std::vector<std::size_t> lengths(rows);
    std::size_t entries = 0;
    std::size_t maxRank = 0;
    for (std::size_t i = 0; i < rows; ++i) {
        const std::uint64_t length = in_.u64("the row lengths");
        if (length == 0) refuse("row " + str(i) + " is empty");
        // Every entry is followed by its cost (8 bytes) and its place in the order (4).
        if (length > in_.left() / 12 || entries + length > in_.left() / 12) {
            refuse("row " + str(i) + "'s length " + str(length) + " claims more bytes than the saved state holds");
        }
        if (length - 1 >= static_cast<std::uint64_t>(std::numeric_limits<int>::max())) refuse("row " + str(i) + " is too long");
        lengths[i] = static_cast<std::size_t>(length);
        entries += lengths[i];
        if (lengths[i] - 1 > maxRank) maxRank = lengths[i] - 1;
    }
    if (RecordStore::entryBytesFor(maxRank) != rankBytes_) {
        refuse("rank width " + str(rankBytes_) + " does not match the rows (they need " +
               str(RecordStore::entryBytesFor(maxRank)) + ")");
    }
    if (RecordStore::entryBytesFor(rows) != rowBytes_) {
        refuse("row width " + str(rowBytes_) + " does not match the " + str(rows) + " rows (they need " +
               str(RecordStore::entryBytesFor(rows)) + ")");
    }
    s_.costs.resize(rows);
    for (std::size_t i = 0; i < rows; ++i) {
        s_.costs[i].resize(lengths[i]);
        in_.entries(s_.costs[i].data(), lengths[i], 8, "the costs");
    }
    s_.order.resize(rows);
    for (std::size_t i = 0; i < rows; ++i) {
        s_.order[i].resize(lengths[i]);
        in_.entries(s_.order[i].data(), lengths[i], 4, "the order");
    }
    s_.emittedCount = static_cast<std::int64_t>(in_.u64("the emitted count"));
    if (version_ >= 2) {
        s_.replayCount = static_cast<std::int64_t>(in_.u64("the put-back count"));
        // Version 2 is written only for states that need it: one encoding per state.
        if (s_.replayCount == 0) refuse("version 2 with no configuration put back (saved as version 1)");
    }
}

// Costs are -ln of a finite non-negative probability: never NaN or -inf. Each order row
// is a permutation of its columns along which the cost never falls.
void SavedStateReader::checkMatrix() const {
    for (std::size_t i = 0; i < s_.rows(); ++i) {
        const std::vector<double>& costs = s_.costs[i];
        for (std::size_t j = 0; j < costs.size(); ++j) {
            if (std::isnan(costs[j]) || costs[j] == -std::numeric_limits<double>::infinity()) {
                refuse("costs[" + str(i) + "][" + str(j) + "] is " + (std::isnan(costs[j]) ? "nan" : "-inf"));
            }
        }
        const std::vector<int>& order = s_.order[i];
        std::vector<bool> seen(order.size());
        for (std::size_t r = 0; r < order.size(); ++r) {
            const int column = order[r];
            if (column < 0 || static_cast<std::size_t>(column) >= order.size() || seen[column]) {
                refuse("order[" + str(i) + "] is not a permutation of the row's columns");
            }
            seen[column] = true;
            if (r != 0 && costs[order[r - 1]] > costs[column]) {
                refuse("order[" + str(i) + "] falls in cost at rank " + str(r));
            }
        }
    }
}

void SavedStateReader::readNodes() {
    const std::size_t rows = s_.rows();
    // Each node has its ranks, its counter and, with the cache, its list index.
    const std::size_t perNode = rows * rankBytes_ + rowBytes_ + (cache_ ? 4 : 0);
    const std::size_t nodes = in_.count("node count", perNode);
    if (nodes == 0) refuse("there are no nodes");
    if (nodes > IdHashTable::maxSize()) refuse("more nodes than 32-bit ids can number");
    s_.nodes = RecordStore(rows, rankBytes_);
    s_.expandCount = RecordStore(1, rowBytes_);
    s_.successorCache.lists = RecordStore(rows + 1, rowBytes_);
    s_.successorCache.listOfNode = RecordStore(1, 4);
    in_.records(s_.nodes, nodes, "the nodes");
    in_.records(s_.expandCount, nodes, "the counters");
    if (cache_) {
        const std::size_t lists = in_.count("list count", (rows + 1) * rowBytes_);
        in_.records(s_.successorCache.lists, lists, "the lists");
        in_.records(s_.successorCache.listOfNode, nodes, "the list indices");
    }
    s_.rankTable = makeRankTable(s_.costs, s_.order);
}

// Every rank below its row's length, compared a block at a time against the last ranks
// laid out like the block; the root is node 0, every row at rank 0.
void SavedStateReader::checkRanks() const {
    const std::size_t rows = s_.rows();
    withWidth(rankBytes_, [&](auto rankType) {
        using Rank = decltype(rankType);
        std::vector<Rank> limits;
        std::size_t node = 0;
        s_.nodes.forEachChunk([&](const unsigned char* chunk, std::size_t count) {
            if (limits.size() < count * rows) {
                limits.resize(count * rows);
                for (std::size_t k = 0; k < limits.size(); ++k) limits[k] = static_cast<Rank>(s_.rankTable.lastRank(k % rows));
            }
            const Rank* ranks = reinterpret_cast<const Rank*>(chunk);
            const Rank* const last = limits.data();
            const std::size_t entries = count * rows;
            unsigned above = 0;  // branch-free, so that the compiler vectorises the loop
            for (std::size_t k = 0; k < entries; ++k) above |= ranks[k] > last[k];
            if (above != 0) {
                for (std::size_t k = 0;; ++k) {
                    if (ranks[k] > limits[k]) {
                        refuse("node " + str(node + k / rows) + " has rank " + str(ranks[k]) + " in row " + str(k % rows) +
                               ", which has " + str(s_.rankTable.lastRank(k % rows) + 1) + " columns");
                    }
                }
            }
            node += count;
        });
        const Rank* root = s_.nodes.record<Rank>(0);
        for (std::size_t i = 0; i < rows; ++i) {
            if (root[i] != 0) refuse("node 0 is not the root");
        }
    });
}

void SavedStateReader::checkCounters() const {
    const std::size_t rows = s_.rows();
    withWidth(rowBytes_, [&](auto rowType) {
        using Row = decltype(rowType);
        std::size_t node = 0;
        s_.expandCount.forEachChunk([&](const unsigned char* chunk, std::size_t count) {
            const Row* counters = reinterpret_cast<const Row*>(chunk);
            for (std::size_t k = 0; k < count; ++k) {
                if (counters[k] > rows) refuse("node " + str(node + k) + "'s counter " + str(counters[k]) + " exceeds the row count");
            }
            node += count;
        });
    });
}

void SavedStateReader::readHistoryAndFrontier() {
    const std::size_t h = in_.count("history length", 4);
    if (h == 0) refuse("the history is empty");
    s_.history.resize(h);
    in_.entries(s_.history.data(), h, 4, "the history");
    const std::size_t f = in_.count("frontier size", 16);
    s_.frontier.reserveMore(f);
    for (std::size_t i = 0; i < f; ++i) {
        assignment entry;
        const unsigned char* bytes = in_.take(16, "the frontier");
        entry.parent = static_cast<NodeId>(load64(bytes) & 0xffffffffu);
        entry.child = static_cast<NodeId>(load64(bytes) >> 32);
        const std::uint64_t bits = load64(bytes + 8);
        std::memcpy(&entry.cost, &bits, 8);
        s_.frontier.appendSlot(entry);
    }
}

// History ids are placed nodes, none twice, starting at the root.
void SavedStateReader::markHistory() {
    const std::size_t n = s_.nodes.size();
    role_.assign(n, 0);
    if (s_.history[0] != 0) refuse("the history does not start at the root");
    for (std::size_t k = 0; k < s_.history.size(); ++k) {
        const NodeId id = s_.history[k];
        if (id >= n) refuse("history[" + str(k) + "] is node " + str(id) + ", beyond the " + str(n) + " nodes");
        if (role_[id] & kInHistory) refuse("node " + str(id) + " appears twice in the history");
        role_[id] |= kInHistory;
    }
}

void SavedStateReader::checkFrontier() {
    withWidth(rankBytes_, [&](auto rankType) {
        withWidth(rowBytes_, [&](auto rowType) { checkFrontierEntries<decltype(rankType), decltype(rowType)>(); });
    });
}

// Every entry: a history node with its next child due, that child placed, not yet handed
// out and exactly the parent with the row at the parent's counter raised by one, at the
// cost configurationCost gives it; at most one entry per parent, in heap order. The
// construction entry alone carries no child, and only before the first step.
template <class Rank, class Row>
void SavedStateReader::checkFrontierEntries() {
    const std::size_t n = s_.nodes.size(), rows = s_.rows(), f = s_.frontier.size();
    const RankTable& table = s_.rankTable;
    const SuccessorCache& cache = s_.successorCache;
    // The entries name nodes in no particular order: what an entry reads is requested
    // kAhead entries earlier, and its list, found through its list index, half as early.
    auto requestNodes = [&](NodeId id) {
        if (id >= n) return;
        prefetch(s_.nodes.record<Rank>(id));
        prefetch(s_.expandCount.record<Row>(id));
        prefetch(&role_[id]);
        if (cache_) prefetch(cache.listOfNode.record<std::uint32_t>(id));
    };
    for (std::size_t i = 0; i < f; ++i) {
        if (i + kAhead < f) {
            requestNodes(s_.frontier.slot(i + kAhead).parent);
            requestNodes(s_.frontier.slot(i + kAhead).child);
        }
        if (cache_ && i + kAhead / 2 < f && s_.frontier.slot(i + kAhead / 2).parent < n) {
            const std::uint32_t index = *cache.listOfNode.record<std::uint32_t>(s_.frontier.slot(i + kAhead / 2).parent);
            if (index != 0 && index <= cache.lists.size()) prefetch(cache.lists.record<Row>(index - 1));
        }
        const assignment& entry = s_.frontier.slot(i);
        // Messages are built only on refusal: this loop runs once per entry.
        auto bad = [i](const std::string& what) { refuse("frontier slot " + str(i) + what); };
        if (i != 0 && s_.frontier.slot((i - 1) / 2).cost > entry.cost) bad(" breaks the heap order");
        if (entry.parent >= n || !(role_[entry.parent] & kInHistory)) bad("'s parent is not in the history");
        if (role_[entry.parent] & kHasEntry) bad("'s parent has another frontier entry");
        role_[entry.parent] |= kHasEntry;
        const std::size_t counter = *s_.expandCount.record<Row>(entry.parent);
        const Rank* parent = s_.nodes.record<Rank>(entry.parent);
        if (entry.child == kNoNode) {
            if (entry.parent != 0 || s_.history.size() != 1 || n != 1 || f != 1 || counter != 0) {
                bad(" has no child but is not the construction entry");
            }
            if (!(entry.cost == costOf(table, parent, rows))) bad("'s cost is not its node's");
            continue;
        }
        if (entry.child >= n) bad("'s child " + str(entry.child) + " is beyond the " + str(n) + " nodes");
        if (role_[entry.child] & (kInHistory | kIsChild)) bad("'s child is handed out or in another entry");
        role_[entry.child] |= kIsChild;
        if (*s_.expandCount.record<Row>(entry.child) != 0) bad("'s child has a counter");
        if (counter >= rows) bad("'s parent has no child left");
        const Rank* child = s_.nodes.record<Rank>(entry.child);
        std::size_t raised = rows;  // the one row that differs, by +1
        bool oneRaised = true;
        for (std::size_t r = 0; r < rows && oneRaised; ++r) {
            if (child[r] == parent[r]) continue;
            oneRaised = raised == rows && child[r] == parent[r] + 1;
            raised = r;
        }
        if (!oneRaised || raised == rows) bad("'s child is not its parent with one row raised by one");
        if (cache_) {
            const std::uint32_t listIndex = *cache.listOfNode.record<std::uint32_t>(entry.parent);
            if (listIndex == 0 || listIndex > cache.lists.size()) bad("'s parent has no list");
            if (cache.lists.record<Row>(listIndex - 1)[counter] != raised) {
                bad("'s child does not raise the row at its parent's counter");
            }
        } else if (!raisesRowAt(parent, raised, counter)) {
            bad("'s child does not raise the row at its parent's counter");
        }
        if (!(entry.cost == costOf(table, child, rows))) bad("'s cost is not its child's");
    }
}

// Whether `raised` stands at position `counter` of the node's sorted row list, which is not
// stored while the cache is off. Unless another listed row ties with it (or a delta is
// NaN), its position is the number of listed rows whose delta is smaller, whatever order
// the sort leaves among the others; else the sort decides.
template <class Rank>
bool SavedStateReader::raisesRowAt(const Rank* node, std::size_t raised, std::size_t counter) const {
    const RankTable& table = s_.rankTable;
    const std::size_t rows = s_.rows();
    const double delta = deltaAt(table, raised, node[raised]);
    std::size_t smaller = 0;
    bool alone = delta == delta;
    for (std::size_t row = 0; row < rows && alone; ++row) {
        if (row == raised || node[row] == table.lastRank(row)) continue;
        const double other = deltaAt(table, row, node[row]);
        if (other < delta) ++smaller;
        else alone = delta < other;
    }
    if (alone) return smaller == counter;
    const std::vector<int> list = sortedRowList(s_, RankVector(node, node + rows));
    return list[counter] == static_cast<int>(raised);
}

// Each node is handed out or waits in the frontier: nothing else is ever placed.
void SavedStateReader::checkEveryNodePlaced() const {
    for (std::size_t id = 0; id < role_.size(); ++id) {
        if (!(role_[id] & (kInHistory | kIsChild))) refuse("node " + str(id) + " is neither handed out nor in the frontier");
    }
}

// One step per history entry after the root, and one more that found nothing left. The
// configurations put back were handed out; exhausted means the search is over and none is.
void SavedStateReader::checkProgress() const {
    const auto found = static_cast<std::int64_t>(s_.history.size());
    const bool searchOver = s_.emittedCount == found;
    const std::int64_t replay = s_.replayCount;
    if (exhausted_ && replay != 0) refuse("exhausted, yet " + std::to_string(replay) + " configurations are put back");
    if (!(searchOver ? exhausted_ || replay != 0 : s_.emittedCount == found - 1 && !exhausted_)) {
        refuse("emitted count " + std::to_string(s_.emittedCount) + " does not match the history of " + str(found));
    }
    if (replay < 0 || replay > s_.emittedCount) {
        refuse(std::to_string(replay) + " configurations put back, of " + std::to_string(s_.emittedCount) +
               " handed out");
    }
    if (searchOver && !s_.frontier.empty()) refuse("exhausted, yet the frontier is not empty");
}

void SavedStateReader::checkSuccessorCache() const {
    if (!cache_) return;
    withWidth(rankBytes_, [&](auto rankType) {
        withWidth(rowBytes_, [&](auto rowType) { checkLists<decltype(rankType), decltype(rowType)>(); });
    });
}

// The k-th history node owns list k, no other node owns one. A list names every row of
// its node that can still move, once, then a marker for each row at its last rank; its
// flag is 0 or 1. A node without a frontier entry has no child left in its list.
template <class Rank, class Row>
void SavedStateReader::checkLists() const {
    const std::size_t rows = s_.rows(), h = s_.history.size();
    const SuccessorCache& cache = s_.successorCache;
    constexpr Row kMarker = markerOf<Row>();
    if (cache.lists.size() != h) refuse(str(cache.lists.size()) + " lists for a history of " + str(h));
    std::size_t listed = 0;
    cache.listOfNode.forEachChunk([&](const unsigned char* chunk, std::size_t count) {
        for (std::size_t k = 0; k < count; ++k) {
            std::uint32_t index;
            std::memcpy(&index, chunk + 4 * k, 4);
            listed += index != 0;
        }
    });
    if (listed != h) refuse("nodes outside the history have lists");
    std::vector<std::size_t> seenInList(rows, 0);
    for (std::size_t k = 0; k < h; ++k) {
        if (k + kAhead < h) {
            const NodeId ahead = s_.history[k + kAhead];  // in range: markHistory checked it
            prefetch(s_.nodes.record<Rank>(ahead));
            prefetch(s_.expandCount.record<Row>(ahead));
            prefetch(cache.listOfNode.record<std::uint32_t>(ahead));
            prefetch(&role_[ahead]);
        }
        const NodeId id = s_.history[k];
        if (*cache.listOfNode.record<std::uint32_t>(id) != k + 1) refuse("node " + str(id) + " has the wrong list");
        const Row* list = cache.lists.record<Row>(k);
        const Rank* ranks = s_.nodes.record<Rank>(id);
        auto bad = [k](const std::string& what) { refuse("list " + str(k) + what); };
        std::size_t movable = 0, named = 0;
        bool marked = false;
        for (std::size_t r = 0; r < rows; ++r) movable += ranks[r] != s_.rankTable.lastRank(r);
        for (std::size_t i = 0; i < rows; ++i) {
            const Row row = list[i];
            if (row == kMarker) {
                marked = true;
                continue;
            }
            if (marked) bad(" has a row after a marker");
            if (row >= rows) bad(" names row " + str(row) + " of " + str(rows));
            if (seenInList[row] == k + 1) bad(" names row " + str(row) + " twice");
            seenInList[row] = k + 1;
            if (ranks[row] == s_.rankTable.lastRank(row)) bad(" names row " + str(row) + ", at its last rank");
            ++named;
        }
        if (named != movable) bad(" leaves out a row that can move");
        if (list[rows] > 1) bad("'s flag is " + str(list[rows]) + ", not 0 or 1");
        const std::size_t counter = *s_.expandCount.record<Row>(id);
        if (!(role_[id] & kHasEntry) && counter < rows && list[counter] != kMarker) {
            refuse("node " + str(id) + " has a child left but no frontier entry");
        }
    }
}

// Inserts ids 0 .. N-1 in order into a table of the saved capacity, which is a power of
// two from 16 up, holds them at most 3/4 full and is no larger than the steps' reservations
// make it. A node equal to an earlier one is refused.
void SavedStateReader::rebuildVisited(std::uint64_t capacity) {
    const std::size_t n = s_.nodes.size(), rows = s_.rows();
    if (capacity < 16 || capacity > (std::uint64_t{1} << 32) || (capacity & (capacity - 1)) != 0) {
        refuse("visited table capacity " + str(capacity) + " is not a power of two from 16 to 2^32");
    }
    if (n > capacity / 4 * 3) refuse("visited table capacity " + str(capacity) + " is too small for " + str(n) + " nodes");
    if (capacity > 16 && capacity / 8 * 3 >= n + kNodesReservedAhead) {
        refuse("visited table capacity " + str(capacity) + " is larger than " + str(n) + " nodes ever need");
    }
    IdHashTable table = IdHashTable::withCapacity(static_cast<std::size_t>(capacity), detail::keepsFingerprints(rows, rankBytes_));
    withWidth(rankBytes_, [&](auto rankType) {
        using Rank = decltype(rankType);
        table.reserve(n, [](NodeId) { return std::uint64_t{0}; });  // fingerprint room only
        // In batches, pipelined: a batch's hashes are computed side by side (each is a
        // serial chain) and its home slots requested while the batch before is inserted.
        constexpr std::size_t kBatch = 16;
        std::uint64_t hashes[2][kBatch];
        auto hashBatch = [&](std::size_t first, std::uint64_t* out) {
            const std::size_t count = std::min(kBatch, n - first);
            const Rank* ranks[kBatch];
            for (std::size_t i = 0; i < count; ++i) {
                ranks[i] = s_.nodes.record<Rank>(first + i);
                out[i] = rows;
            }
            for (std::size_t r = 0; r < rows; ++r) {
                for (std::size_t i = 0; i < count; ++i) out[i] = vector_hash::combine(out[i], ranks[i][r]);
            }
            for (std::size_t i = 0; i < count; ++i) table.prefetch(out[i]);
        };
        hashBatch(0, hashes[0]);
        for (std::size_t first = 0, b = 0; first < n; first += kBatch, b ^= 1) {
            if (first + kBatch < n) hashBatch(first + kBatch, hashes[b ^ 1]);
            const std::size_t count = std::min(kBatch, n - first);
            for (std::size_t i = 0; i < count; ++i) {
                const Rank* ranks = s_.nodes.record<Rank>(first + i);
                const auto [id, inserted] = table.findOrInsert(hashes[b][i], [&](NodeId other) {
                    return sameRanks(ranks, s_.nodes.record<Rank>(other), rows);
                });
                if (!inserted) refuse("node " + str(first + i) + " repeats node " + str(id));
            }
        }
    });
    s_.visited = std::move(table);
}

// --- public entry points ---------------------------------------------------------------

std::uint64_t saved_state::checksum(const unsigned char* data, std::size_t size) {
    Checksum sum;
    sum.update(data, size);
    return sum.finish();
}

void saved_state::reseal(std::vector<unsigned char>& bytes) {
    std::uint64_t total = bytes.size();
    for (std::size_t i = 0; i < 8; ++i, total >>= 8) bytes[kSizeOffset + i] = static_cast<unsigned char>(total);
    std::uint64_t sum = checksum(bytes.data(), bytes.size() - kChecksumBytes);
    for (std::size_t i = bytes.size() - kChecksumBytes; i < bytes.size(); ++i, sum >>= 8) {
        bytes[i] = static_cast<unsigned char>(sum);
    }
}

std::size_t Quorin::savedSize() const {
    const State& s = state;
    std::size_t entries = 0;
    for (const std::vector<double>& row : s.costs) entries += row.size();
    const std::size_t n = s.nodes.size();
    std::size_t size = saved_state::kHeaderBytes + 8 + 8 * s.rows() + 12 * entries + 8 + 8;
    if (s.replayCount != 0) size += 8;
    size += n * (s.rows() * s.rankBytes() + s.rowBytes());
    if (cacheAssignments) size += 8 + s.successorCache.lists.size() * (s.rows() + 1) * s.rowBytes() + 4 * n;
    size += 8 + 4 * s.history.size() + 8 + 16 * s.frontier.size() + 8;
    return size + saved_state::kChecksumBytes;
}

void Quorin::save(unsigned char* out) const {
    auto sink = [&out](const unsigned char* bytes, std::size_t size) {
        std::memcpy(out, bytes, size);
        out += size;
    };
    writeState(*this, savedSize(), sink);
}

std::vector<unsigned char> Quorin::save() const {
    std::vector<unsigned char> bytes(savedSize());
    save(bytes.data());
    return bytes;
}

void Quorin::save(std::ostream& out) const {
    auto sink = [&out](const unsigned char* bytes, std::size_t size) {
        out.write(reinterpret_cast<const char*>(bytes), static_cast<std::streamsize>(size));
    };
    writeState(*this, savedSize(), sink);
}

Quorin Quorin::load(const unsigned char* data, std::size_t size) { return SavedStateReader::load(data, size); }

Quorin Quorin::load(std::istream& in) {
    std::vector<unsigned char> bytes(kMinSize);
    auto readInto = [&in](unsigned char* to, std::size_t size) {
        in.read(reinterpret_cast<char*>(to), static_cast<std::streamsize>(size));
        return static_cast<std::size_t>(in.gcount());
    };
    bytes.resize(readInto(bytes.data(), saved_state::kHeaderBytes));
    SavedStateReader::checkTagAndVersion(bytes.data(), bytes.size());
    const std::uint64_t total = load64(bytes.data() + saved_state::kSizeOffset);
    // Read in pieces that at most double what has arrived, so a size field that claims
    // more than the stream holds costs no more memory than the stream's bytes.
    while (bytes.size() < total) {
        const std::size_t have = bytes.size();
        const std::uint64_t missing = total - have;
        const std::size_t most = std::max<std::size_t>(have, std::size_t{1} << 20);
        const std::size_t piece = missing < most ? static_cast<std::size_t>(missing) : most;
        bytes.resize(have + piece);
        const std::size_t got = readInto(bytes.data() + have, piece);
        if (got < piece) {
            bytes.resize(have + got);
            break;
        }
    }
    return load(bytes.data(), bytes.size());
}

}  // namespace quorin
