// The walk that fills a window: the range walk's pieces (range/range_plan.h) on the
// window's threads, every configuration of the window written into the thread's blocks of
// the window's store, to be sorted next.
#include "windows/windows_impl.h"

#include <memory>

#include "range/range_plan.h"

namespace quorin {

using namespace detail;

namespace {

// Writes what the walk hands out into one thread's blocks: a record (cost, item) and the
// configuration's stored columns. add() returns false once the window holds its most.
template <class Col>
struct WindowFill {
    WindowStore& store;
    Lane& lane;
    std::atomic<bool>& overflow;
    std::size_t n;
    const Col* head = nullptr;
    std::size_t rows = 0;
    Record* rec = nullptr;
    unsigned char* cols = nullptr;

    WindowFill(WindowStore& s, Lane& l, std::atomic<bool>& o, std::size_t rowCount)
        : store(s), lane(l), overflow(o), n(rowCount) {
        if (lane.fill < store.block) {
            rec = store.records[lane.blocks.back()].get();
            cols = store.columnBlock(lane.blocks.back());
        }
    }
    void prefix(const Col* h, std::size_t r) {
        head = h;
        rows = r;
    }
    bool add(double E, const Col* rest) {
        if (lane.fill == store.block) {
            std::size_t blk;
            if (overflow.load(std::memory_order_relaxed) || !store.claim(blk)) {
                overflow.store(true, std::memory_order_relaxed);
                return false;
            }
            lane.blocks.push_back(blk);
            lane.fill = 0;
            rec = store.records[blk].get();
            cols = store.columnBlock(blk);
        }
        const std::size_t item = lane.blocks.back() * store.block + lane.fill;
        rec[lane.fill] = Record{E, static_cast<std::uint32_t>(item), 0};
        unsigned char* dst = cols + lane.fill * store.entryBytes;
        copyBytes(dst, reinterpret_cast<const unsigned char*>(head), rows * sizeof(Col));
        copyBytes(dst + rows * sizeof(Col), reinterpret_cast<const unsigned char*>(rest), (n - rows) * sizeof(Col));
        ++lane.fill;
        return true;
    }
};

}  // namespace

template <class Col>
bool WindowedEnumerator::Impl::walk(const OrderBound& lo, double hiCost, double ahead,
                                    const std::atomic<bool>* interrupt) {
    // Windows of small expected size run on one thread.
    const bool parallel = threadCount > 1 && windowCount >= kParallelFrom;
    const RangePlan plan(probs, lo, OrderBound{hiCost, std::vector<int>(model.n, 0)}, parallel ? threadCount : 1,
                         interrupt, ahead);
    store.claimed.store(0, std::memory_order_relaxed);
    for (Lane& lane : lanes) {
        lane.blocks.clear();
        lane.fill = store.block;
    }
    std::atomic<bool> overflow{false};
    std::vector<std::unique_ptr<PieceWalker<Col>>> walkers(threadCount);
    runTasks(plan.pieces(), parallel, [&](std::size_t i, unsigned slot) {
        if (raised(interrupt)) throw Interrupted();
        if (overflow.load(std::memory_order_relaxed)) return;
        if (!walkers[slot]) walkers[slot].reset(new PieceWalker<Col>(model.n));
        plan.emitPiece<Col>(i, plan.finite(), *walkers[slot], interrupt,
                            WindowFill<Col>(store, lanes[slot], overflow, model.n));
    });
    return !overflow.load();
}

template bool WindowedEnumerator::Impl::walk<std::uint8_t>(const OrderBound&, double, double,
                                                           const std::atomic<bool>*);
template bool WindowedEnumerator::Impl::walk<std::uint16_t>(const OrderBound&, double, double,
                                                            const std::atomic<bool>*);
template bool WindowedEnumerator::Impl::walk<std::uint32_t>(const OrderBound&, double, double,
                                                            const std::atomic<bool>*);

}  // namespace quorin
