// The pieces a search's tasks are made of (range_walk.h), for quorin's search module:
// locating a position once, cutting a range at bounds of the cost order, and walking one
// range without order. A bound is a tuple (cost, columns): the configurations at or after
// it are those of greater cost and those of that cost whose columns are not below.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <atomic>
#include <future>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <quorin/counting.h>
#include <quorin/range_walk.h>

#include "bindings.h"
#include "matrix_caster.h"
#include "py_convert.h"
#include "interrupt_watch.h"

namespace py = pybind11;

namespace {

using quorin::OrderBound;
using quorin::Position;
using quorin_python::runInterruptibly;
using quorin_python::toInt;
using quorin_python::toPosition;
using quorin_python::toThreads;



// Columns: a sequence of integers that fit an int.
std::vector<int> toColumns(const py::handle& value, const char* name) {
    std::vector<int> out;
    for (const py::handle x : py::iter(value)) {
        const Position c = toPosition(x, name);
        if (c > static_cast<Position>(std::numeric_limits<int>::max()))
            throw py::value_error(std::string(name) + " holds a column too large for any row");
        out.push_back(static_cast<int>(c));
    }
    return out;
}

// Configurations as columns: an iterable of sequences of columns, or a 2-D array of
// integers (a row per configuration) read at once.
std::vector<std::vector<int>> toConfigurations(const py::object& configurations) {
    std::vector<std::vector<int>> all;
    if (py::isinstance<py::array>(configurations)) {
        const py::array a = configurations.cast<py::array>();
        const char kind = a.dtype().kind();
        if (a.ndim() == 2 && (kind == 'i' || (kind == 'u' && a.itemsize() < 8))) {
            const auto m = py::array_t<long long, py::array::c_style | py::array::forcecast>::ensure(a);
            if (!m) throw py::error_already_set();
            const auto rows = static_cast<std::size_t>(m.shape(0)), n = static_cast<std::size_t>(m.shape(1));
            const long long* p = m.data();
            all.reserve(rows);
            for (std::size_t i = 0; i < rows; ++i, p += n) {
                std::vector<int> columns(n);
                for (std::size_t r = 0; r < n; ++r) {
                    if (p[r] < 0) throw py::value_error("columns must be >= 0, not " + std::to_string(p[r]));
                    if (p[r] > std::numeric_limits<int>::max())
                        throw py::value_error("columns holds a column too large for any row");
                    columns[r] = static_cast<int>(p[r]);
                }
                all.push_back(std::move(columns));
            }
            return all;
        }
    }
    for (const py::handle c : py::iter(configurations)) all.push_back(toColumns(c, "columns"));
    return all;
}

OrderBound toBound(const py::handle& value, const char* name) {
    if (!py::isinstance<py::tuple>(value) || py::len(value) != 2)
        throw py::type_error(std::string(name) + " must be a bound (cost, columns), not " + Py_TYPE(value.ptr())->tp_name);
    const py::tuple t = py::reinterpret_borrow<py::tuple>(value);
    OrderBound b;
    b.cost = py::float_(t[0]).cast<double>();
    b.columns = toColumns(t[1], (std::string(name) + " columns").c_str());
    return b;
}

std::optional<OrderBound> toUpper(const py::object& value) {
    if (value.is_none()) return std::nullopt;
    return toBound(value, "upper");
}

py::tuple fromBound(const OrderBound& b) {
    py::tuple columns(b.columns.size());
    for (std::size_t i = 0; i < b.columns.size(); ++i) columns[i] = py::int_(b.columns[i]);
    return py::make_tuple(py::float_(b.cost), columns);
}


// The iterator of _TaskWalk: quorin.Batch after quorin.Batch, in no particular order.
struct TaskWalk {
    std::shared_ptr<quorin::RangeWalk> walk;
    bool busy = false;
};

// A chunk's storage, owned by the arrays of one batch; handed back to the walk (if it
// still exists) when both are gone, for the chunks to come.
struct ChunkOwner {
    quorin::RangeChunk chunk;
    std::weak_ptr<quorin::RangeWalk> walk;
};

py::object batchOf(quorin::RangeChunk&& chunk, const std::shared_ptr<quorin::RangeWalk>& walk) {
    const auto m = static_cast<py::ssize_t>(chunk.count), rows = static_cast<py::ssize_t>(walk->rows());
    auto* owner = new ChunkOwner{std::move(chunk), walk};
    py::capsule base(owner, [](void* p) {
        std::unique_ptr<ChunkOwner> o(static_cast<ChunkOwner*>(p));
        if (std::shared_ptr<quorin::RangeWalk> w = o->walk.lock()) w->recycle(std::move(o->chunk));
    });
    py::array_t<std::int32_t> columns({m, rows}, owner->chunk.columns.data(), base);
    py::array_t<double> costs({m}, owner->chunk.costs.data(), base);
    return py::module_::import("quorin").attr("Batch")(columns, costs);
}

// Runs `work` on the walk, with the GIL released and Ctrl-C watched; one call at a time.
// Marks the walk busy for one call at a time (ValueError while it is).
void claim(TaskWalk& w) {
    if (w.busy) throw py::value_error("the task walk is already running");
    w.busy = true;
}

py::list listOf(const std::vector<Position>& indices) {
    py::list out;
    for (Position i : indices) out.append(toInt(i));
    return out;
}

template <class Work>
auto whileBusy(TaskWalk& w, Work&& work) {
    claim(w);
    struct Done {
        TaskWalk& w;
        ~Done() { w.busy = false; }
    } done{w};
    return runInterruptibly(std::forward<Work>(work));
}

// indices_of run in the background (the index walk of a finished task while Python goes
// on with the next): result() waits for it. The walk is busy until then; a pending object
// dropped unread stops the work and waits for it to give up.
struct PendingIndices {
    py::object owner;  // the _TaskWalk, kept alive
    TaskWalk* walk = nullptr;
    std::unique_ptr<std::atomic<bool>> stop = std::make_unique<std::atomic<bool>>(false);
    std::future<std::vector<Position>> job;

    PendingIndices() = default;
    PendingIndices(PendingIndices&& other) noexcept
        : owner(std::move(other.owner)), walk(other.walk), stop(std::move(other.stop)), job(std::move(other.job)) {
        other.walk = nullptr;
    }
    PendingIndices& operator=(PendingIndices&&) = delete;
    ~PendingIndices() {
        if (job.valid()) {
            stop->store(true);
            job.wait();
        }
        release();
    }
    // The walk free for other calls again.
    void release() {
        if (walk != nullptr) walk->busy = false;
        walk = nullptr;
    }

    py::list result() {
        if (!job.valid()) throw py::value_error("the indices were already taken");
        struct Done {
            PendingIndices& p;
            ~Done() { p.release(); }
        } done{*this};
        return listOf(quorin_python::waitInterruptibly(job, *stop));
    }
};

py::object nextOf(TaskWalk& w) {
    quorin::RangeChunk chunk =
        whileBusy(w, [&](const std::atomic<bool>* interrupt) { return w.walk->next(interrupt); });
    if (!chunk) throw py::stop_iteration();
    return batchOf(std::move(chunk), w.walk);
}

}  // namespace

void bindTasks(py::module_& m) {
    m.def("_check_matrix",
          [](quorin::ProbabilityMatrix probs, bool log) {
              quorin_python::prepareMatrix(probs, log, quorin_python::ZeroRow::Refuse);
          },
          py::arg("probs"), py::kw_only(), py::arg("log") = false,
          "Checks `probs` as the cost order's functions do (ValueError, and a UserWarning for what looks "
          "underflowed): the one check of plan's and search's matrix.");
    m.def("_locate",
          [](quorin::ProbabilityMatrix probs, const py::object& position, bool log) -> py::object {
              const Position p = toPosition(position, "position");
              quorin_python::setKind(probs, log);
              quorin::checkProbabilities(probs);
              if (p == quorin::kNoStop) return py::none();
              std::optional<OrderBound> found = runInterruptibly([&](const std::atomic<bool>* interrupt) -> std::optional<OrderBound> {
                  try {
                      quorin::Configuration c = quorin::select(probs, quorin::Count::fromUint128(p), interrupt);
                      return OrderBound{c.cost, std::move(c.columns)};
                  } catch (const std::out_of_range&) {
                      return std::nullopt;
                  }
              });
              return found ? py::object(fromBound(*found)) : py::object(py::none());
          },
          py::arg("probs"), py::arg("position"), py::kw_only(), py::arg("log") = false,
          "The bound (cost, columns) of the configuration at 0-based `position` of the cost order; None past the end.");
    m.def("_locate_after",
          [](quorin::ProbabilityMatrix probs, const py::object& lower, const py::object& offset, bool log) -> py::object {
              quorin_python::setKind(probs, log);
              const OrderBound lo = toBound(lower, "lower");
              const Position k = toPosition(offset, "offset");
              std::optional<OrderBound> found = runInterruptibly([&](const std::atomic<bool>* interrupt) {
                  return quorin::boundAfter(probs, lo, k, 0, interrupt);
              });
              return found ? py::object(fromBound(*found)) : py::object(py::none());
          },
          py::arg("probs"), py::arg("lower"), py::arg("offset"), py::kw_only(), py::arg("log") = false,
          "The bound (cost, columns) of the configuration `offset` places after `lower`, by counts of the "
          "range from `lower` on; None where `_locate` must find it (cost +inf, past the end, a crowd of one cost).");
    m.def("_cuts",
          [](quorin::ProbabilityMatrix probs, const py::object& lower, const py::object& upper,
             const py::object& size, const py::object& most, bool log) {
              quorin_python::setKind(probs, log);
              const OrderBound lo = toBound(lower, "lower");
              const std::optional<OrderBound> hi = toUpper(upper);
              const Position taskSize = toPosition(size, "task_size");
              if (taskSize < 1) throw py::value_error("task_size must be >= 1, not 0");
              const Position count = toPosition(most, "most");
              std::vector<OrderBound> cuts = runInterruptibly([&](const std::atomic<bool>*) {
                  return quorin::cutRange(probs, lo, hi, taskSize, static_cast<std::size_t>(std::min<Position>(count, 1u << 24)));
              });
              py::list out;
              for (const OrderBound& b : cuts) out.append(fromBound(b));
              return out;
          },
          py::arg("probs"), py::arg("lower"), py::arg("upper"), py::arg("task_size"), py::arg("most"), py::kw_only(),
          py::arg("log") = false,
          "Up to `most` bounds strictly between `lower` and `upper` (None: the end), each about `task_size` "
          "configurations after the one before.");

    m.def("_release_walk_memory", &quorin::releaseWalkMemory,
          "Frees what range walks keep for the next walk of the same matrix.");

    m.def("_run_native",
          [](quorin::ProbabilityMatrix probs, const py::object& lower, const py::object& upper,
             const py::object& tester, const py::object& threads, const py::object& most, bool log) {
              quorin_python::prepareCheckedMatrix(probs, log);
              const std::shared_ptr<const quorin::Tester> native = nativeTester(tester);
              if (!native) throw py::type_error("tester must be a native tester such as quorin.AES128");
              const OrderBound lo = toBound(lower, "lower");
              const std::optional<OrderBound> hi = toUpper(upper);
              const unsigned threadCount = toThreads(threads);
              const std::optional<Position> limit =
                  most.is_none() ? std::nullopt : std::optional<Position>(toPosition(most, "most"));
              quorin::RangeReport report = runInterruptibly([&](const std::atomic<bool>* interrupt) {
                  return quorin::testRange(probs, lo, hi, *native, threadCount, interrupt, limit);
              });
              py::list hits;
              for (const quorin::RangeHit& h : report.hits) {
                  py::tuple columns(h.configuration.columns.size());
                  for (std::size_t i = 0; i < columns.size(); ++i) columns[i] = py::int_(h.configuration.columns[i]);
                  hits.append(py::make_tuple(toInt(h.index), columns, py::float_(h.configuration.cost)));
              }
              return py::make_tuple(toInt(report.tested), hits, report.complete, report.cut,
                                    report.end ? py::object(fromBound(*report.end)) : py::object(py::none()));
          },
          py::arg("probs"), py::arg("lower"), py::arg("upper"), py::arg("tester"), py::arg("threads") = py::none(),
          py::kw_only(), py::arg("most") = py::none(), py::arg("log") = false,
          "Tests every configuration of [lower, upper) with a native tester in C++: (tested, [(index, columns, "
          "cost), ...], complete, cut, end) with each hit's index in the range; a unique tester stops at its hit "
          "(complete False, tested its index + 1). With `most`, the first `most` alone count: when the range "
          "holds more, cut is True and end their end's bound (None where counts could not tell it).");

    py::class_<TaskWalk> walk(m, "_TaskWalk");
    walk.doc() = "Every configuration of [lower, upper) of the cost order, once each, in no particular order.";
    walk.def(py::init([](quorin::ProbabilityMatrix probs, const py::object& lower, const py::object& upper,
                         const py::object& threads, const py::object& batchSize, bool log) {
                 quorin_python::prepareCheckedMatrix(probs, log);
                 auto w = std::make_unique<TaskWalk>();
                 const Position size = toPosition(batchSize, "batch_size");
                 if (size < 1) throw py::value_error("batch_size must be >= 1, not 0");
                 w->walk = std::make_shared<quorin::RangeWalk>(std::move(probs), toBound(lower, "lower"), toUpper(upper),
                                                               toThreads(threads),
                                                               static_cast<std::size_t>(std::min<Position>(size, 1u << 26)));
                 return w;
             }),
             py::arg("probs"), py::arg("lower"), py::arg("upper"), py::arg("threads") = py::none(),
             py::arg("batch_size") = 1 << 20, py::kw_only(), py::arg("log") = false)
        .def("__iter__", [](py::object self) { return self; })
        .def("__next__", &nextOf)
        .def_property_readonly("tested", [](const TaskWalk& w) { return toInt(w.walk->handedOut()); },
                               "Configurations handed out so far; at the end, the range's exact size.")
        .def("index_of",
             [](TaskWalk& w, const py::object& columns) {
                 const std::vector<int> c = toColumns(columns, "columns");
                 return toInt(whileBusy(w, [&](const std::atomic<bool>* interrupt) { return w.walk->indexOf(c, interrupt); }));
             },
             py::arg("columns"), "How many configurations of the range come before `columns` in the cost order.")
        .def("indices_of",
             [](TaskWalk& w, const py::object& configurations) {
                 const std::vector<std::vector<int>> all = toConfigurations(configurations);
                 return listOf(
                     whileBusy(w, [&](const std::atomic<bool>* interrupt) { return w.walk->indicesOf(all, interrupt); }));
             },
             py::arg("configurations"),
             "index_of of each configuration, counted together in one walk of the range whatever their number.")
        .def("indices_later",
             [](py::object self, const py::object& configurations, const py::object& threads) {
                 TaskWalk& w = self.cast<TaskWalk&>();
                 std::vector<std::vector<int>> all = toConfigurations(configurations);
                 const unsigned count = toThreads(threads);
                 claim(w);
                 PendingIndices p;
                 p.owner = self;
                 p.walk = &w;
                 std::shared_ptr<quorin::RangeWalk> walk = w.walk;
                 std::atomic<bool>* stop = p.stop.get();
                 p.job = std::async(std::launch::async, [walk, all = std::move(all), stop, count] {
                     return walk->indicesOf(all, stop, count);
                 });
                 return p;
             },
             py::arg("configurations"), py::arg("threads") = py::none(),
             "indices_of on `threads` threads in the background: a _PendingIndices whose result() waits for them.");

    py::class_<PendingIndices>(m, "_PendingIndices")
        .def("result", &PendingIndices::result,
             "The indices (as indices_of), once counted; Ctrl-C stops the wait and the count.");
}
