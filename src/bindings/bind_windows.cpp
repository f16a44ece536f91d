// quorin.batches: the windowed enumeration (windows.h) as a Python iterator of
// quorin.Batch. The C++ work runs with the GIL released; the calling thread waits in short
// slices and checks for signals between them, so Ctrl-C stops a batch within milliseconds
// and the next batch starts where the interrupted one would have.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <new>
#include <stdexcept>
#include <utility>
#include <vector>

#include <quorin/windows.h>

#include "bindings.h"
#include "matrix_caster.h"
#include "py_convert.h"

namespace py = pybind11;

namespace {

using quorin::Position;
using quorin_python::toInt;
using quorin_python::toPosition;
using quorin_python::toThreads;



std::size_t toCount(const py::handle& value, const char* name) {
    const Position p = toPosition(value, name);
    if (p < 1) throw py::value_error(std::string(name) + " must be >= 1, not 0");
    return p > (Position{1} << 40) ? std::size_t{1} << 40 : static_cast<std::size_t>(p);
}

// Output memory: the buffer of a batch that has been dropped waits here for the next batch
// of the same size, so that a loop over batches reuses buffers instead of faulting in
// fresh zeroed pages for every batch. One idle buffer of each size at most; the GIL
// guards it.
class BufferPool {
public:
    // A buffer of `bytes` bytes (reused if one is idle) and the capsule that owns it.
    static std::pair<void*, py::object> take(std::size_t bytes) {
        void* data = nullptr;
        for (Slot& slot : idle()) {
            if (slot.data != nullptr && slot.bytes == bytes) {
                std::swap(data, slot.data);
                break;
            }
        }
        if (data == nullptr) data = ::operator new(bytes == 0 ? 1 : bytes);
        PyObject* capsule = PyCapsule_New(data, nullptr, &release);
        if (capsule == nullptr) {
            ::operator delete(data);
            throw py::error_already_set();
        }
        auto* size = new std::size_t(bytes);
        PyCapsule_SetContext(capsule, size);
        return {data, py::reinterpret_steal<py::object>(capsule)};
    }

private:
    struct Slot {
        std::size_t bytes = 0;
        void* data = nullptr;
    };
    static std::vector<Slot>& idle() {
        static auto* slots = new std::vector<Slot>();  // never destroyed: arrays may outlive exit
        return *slots;
    }
    static void release(PyObject* capsule) {
        void* data = PyCapsule_GetPointer(capsule, nullptr);
        auto* size = static_cast<std::size_t*>(PyCapsule_GetContext(capsule));
        const std::size_t bytes = *size;
        delete size;
        for (Slot& slot : idle()) {
            if (slot.bytes == bytes) {
                if (slot.data == nullptr) {
                    slot.data = data;
                    return;
                }
                ::operator delete(data);
                return;
            }
        }
        if (idle().size() < 4) {
            idle().push_back(Slot{bytes, data});
            return;
        }
        ::operator delete(data);
    }
};

// A new C-contiguous array of `shape` over a pooled buffer.
template <class T>
py::array_t<T> pooledArray(std::vector<py::ssize_t> shape) {
    std::size_t count = 1;
    for (py::ssize_t d : shape) count *= static_cast<std::size_t>(d);
    auto buffer = BufferPool::take(count * sizeof(T));
    return py::array_t<T>(shape, static_cast<T*>(buffer.first), buffer.second);
}

struct BatchIterator {
    std::unique_ptr<quorin::WindowedEnumerator> enumerator;
    std::size_t size = 0;
    py::object threads;  // as given: None or an int
    std::atomic<bool> interrupt{false};
    bool busy = false;
    // A batch completed while a signal was raised: handed out by the next call.
    py::object pending;
    std::size_t pendingCount = 0;

    Position position() const { return enumerator->position() - pendingCount; }
};

// The outcome of a batch: how many configurations, and whether a signal came meanwhile
// (its Python error is then set).
struct Outcome {
    std::size_t got = 0;
    bool signalled = false;
    bool interrupted = false;  // the work gave up: nothing changed
};

// Runs work() without the GIL. Work that only copies runs on this thread; longer work on a
// helper thread while this one checks for signals every 5 ms and, on one, raises the
// interrupt flag and waits for the work to give up (or to finish).
template <class Work>
Outcome runReleased(BatchIterator& it, bool quick, Work&& work) {
    it.interrupt.store(false);
    Outcome out;
    if (quick) {
        py::gil_scoped_release release;
        out.got = work();
        return out;
    }
    auto job = std::async(std::launch::async, work);
    while (true) {
        {
            py::gil_scoped_release release;
            if (job.wait_for(std::chrono::milliseconds(5)) == std::future_status::ready) break;
        }
        if (!out.signalled && PyErr_CheckSignals() != 0) {
            out.signalled = true;
            it.interrupt.store(true);
        }
    }
    try {
        out.got = job.get();
    } catch (const quorin::Interrupted&) {
        out.interrupted = true;
    } catch (...) {
        if (out.signalled) PyErr_Clear();  // the work's own error wins
        throw;
    }
    return out;
}

// A Batch of the first `got` rows of the arrays.
py::object makeBatch(const py::object& columns, const py::object& costs, std::size_t got, std::size_t m) {
    py::object c = columns, k = costs;
    if (got < m) {
        const py::slice head(0, static_cast<py::ssize_t>(got), 1);
        c = columns[head].attr("copy")();
        k = costs[head].attr("copy")();
    }
    return py::module_::import("quorin").attr("Batch")(c, k);
}

py::object nextBatch(BatchIterator& it) {
    if (it.busy) throw py::value_error("quorin.batches iterator already running");
    if (it.pending) {
        py::object batch = std::move(it.pending);
        it.pending = py::object();
        it.pendingCount = 0;
        return batch;
    }
    quorin::WindowedEnumerator& e = *it.enumerator;
    if (e.exhausted()) return py::object();
    Position room = e.stop() > e.position() ? e.stop() - e.position() : 0;
    if (e.total() != quorin::kNoStop) room = std::min(room, e.total() > e.position() ? e.total() - e.position() : 0);
    const std::size_t m = static_cast<std::size_t>(std::min<Position>(it.size, room));
    if (m == 0) return py::object();
    const std::size_t rows = e.rows();
    py::array_t<std::int32_t> columns = pooledArray<std::int32_t>({static_cast<py::ssize_t>(m), static_cast<py::ssize_t>(rows)});
    py::array_t<double> costs = pooledArray<double>({static_cast<py::ssize_t>(m)});
    std::int32_t* cp = columns.mutable_data();
    double* kp = costs.mutable_data();
    const bool quick = e.ready() >= m;
    it.busy = true;
    Outcome out;
    try {
        out = runReleased(it, quick, [&] { return e.next(m, cp, kp, &it.interrupt); });
    } catch (...) {
        it.busy = false;
        throw;
    }
    it.busy = false;
    if (out.signalled) {
        // Finished as the signal came: the batch waits for the next call.
        if (!out.interrupted && out.got != 0) {
            it.pending = makeBatch(columns, costs, out.got, m);
            it.pendingCount = out.got;
        }
        throw py::error_already_set();
    }
    if (out.got == 0) return py::object();
    return makeBatch(columns, costs, out.got, m);
}


// The number of configurations of a matrix, exactly.
py::int_ configurationCount(const quorin::ProbabilityMatrix& probs) {
    py::int_ total(1);
    for (const auto& row : probs) total = total * py::int_(row.size());
    return total;
}

std::unique_ptr<BatchIterator> makeIterator(quorin::ProbabilityMatrix probs, const py::object& size,
                                            const py::object& start, const py::object& stop,
                                            const py::object& threads, bool log) {
    auto it = std::make_unique<BatchIterator>();
    it->size = toCount(size, "size");
    Position first = toPosition(start, "start");
    const Position last = stop.is_none() ? quorin::kNoStop : toPosition(stop, "stop");
    const unsigned threadCount = toThreads(threads);
    quorin_python::prepareMatrix(probs, log, quorin_python::ZeroRow::Refuse);
    const py::int_ total = configurationCount(probs);
    if (py::int_(start) >= total || first >= last) {
        // Nothing to hand out: the position stays at the start.
        it->enumerator = std::make_unique<quorin::WindowedEnumerator>(std::move(probs), first, first, threadCount);
    } else {
        if (first == quorin::kNoStop) throw py::value_error("start is too far down the cost order to be located");
        it->enumerator = std::make_unique<quorin::WindowedEnumerator>(std::move(probs), first, last, threadCount);
    }
    it->threads = threads;
    return it;
}

// pickle: the matrix (row lengths and the doubles), the arguments and where it stands; one
// more item, True, for a matrix of log-likelihoods (states of probabilities keep the
// eight items they always had).
py::tuple stateOf(BatchIterator& it) {
    if (it.busy) throw py::value_error("quorin.batches iterator already running");
    quorin::WindowedEnumerator& e = *it.enumerator;
    const quorin::ProbabilityMatrix& probs = e.probabilities();
    py::tuple lengths(probs.size());
    std::vector<double> flat;
    for (std::size_t i = 0; i < probs.size(); ++i) {
        lengths[i] = py::int_(probs[i].size());
        flat.insert(flat.end(), probs[i].begin(), probs[i].end());
    }
    py::bytes data(reinterpret_cast<const char*>(flat.data()), flat.size() * sizeof(double));
    const Position position = it.position();
    py::object stop = e.stop() == quorin::kNoStop ? py::object(py::none()) : py::object(toInt(e.stop()));
    py::object cost = py::none(), columns = py::none();
    if (it.pending) {
        py::object first = it.pending.attr("columns")[py::int_(0)];
        cost = it.pending.attr("costs")[py::int_(0)].attr("item")();
        columns = py::tuple(first.attr("tolist")());
    } else if (e.exhausted()) {
        stop = toInt(position);
    } else if (e.cursorKnown()) {
        const quorin::OrderBound b = e.cursor();
        cost = py::float_(b.cost);
        py::tuple t(b.columns.size());
        for (std::size_t i = 0; i < b.columns.size(); ++i) t[i] = py::int_(b.columns[i]);
        columns = t;
    }
    py::tuple state = py::make_tuple(lengths, data, toInt(it.size), stop, it.threads, toInt(position), cost, columns);
    if (probs.holdsLogLikelihoods()) state = py::reinterpret_steal<py::tuple>(PySequence_Concat(state.ptr(), py::make_tuple(true).ptr()));
    if (!state) throw py::error_already_set();
    return state;
}

std::unique_ptr<BatchIterator> restore(const py::tuple& lengths, const py::bytes& data, const py::object& size,
                                       const py::object& stop, const py::object& threads, const py::object& position,
                                       const py::object& cost, const py::object& columns, bool log) {
    char* bytes = nullptr;
    Py_ssize_t length = 0;
    if (PyBytes_AsStringAndSize(data.ptr(), &bytes, &length) != 0) throw py::error_already_set();
    quorin::ProbabilityMatrix probs(lengths.size());
    std::size_t at = 0;
    const std::size_t available = static_cast<std::size_t>(length) / sizeof(double);
    for (std::size_t i = 0; i < probs.size(); ++i) {
        const std::size_t n = toCount(lengths[i], "row length");
        if (n > available - at || at > available) throw py::value_error("saved quorin.batches state is cut");
        probs[i].resize(n);
        std::memcpy(probs[i].data(), bytes + at * sizeof(double), n * sizeof(double));
        at += n;
    }
    if (at * sizeof(double) != static_cast<std::size_t>(length)) throw py::value_error("saved quorin.batches state has extra bytes");
    if (cost.is_none()) return makeIterator(std::move(probs), size, position, stop, threads, log);
    quorin_python::prepareCheckedMatrix(probs, log);
    auto it = std::make_unique<BatchIterator>();
    it->size = toCount(size, "size");
    quorin::OrderBound bound;
    bound.cost = cost.cast<double>();
    for (const py::handle c : columns) bound.columns.push_back(c.cast<int>());
    const Position last = stop.is_none() ? quorin::kNoStop : toPosition(stop, "stop");
    it->enumerator = std::make_unique<quorin::WindowedEnumerator>(std::move(probs), toPosition(position, "position"),
                                                                  std::move(bound), last, toThreads(threads));
    it->threads = threads;
    return it;
}

}  // namespace

// The iterator of `self`, or TypeError for an instance made by __new__ alone, whose
// storage was never constructed (only quorin.batches makes working ones).
BatchIterator& iteratorOf(py::handle self) {
    if (!py::isinstance<BatchIterator>(self)) throw py::type_error("expected a quorin.BatchIterator");
    auto* inst = reinterpret_cast<py::detail::instance*>(self.ptr());
    py::detail::value_and_holder slot = inst->get_value_and_holder(py::detail::get_type_info(typeid(BatchIterator)));
    if (!slot.holder_constructed()) throw py::type_error("a quorin.BatchIterator is made by quorin.batches");
    return *static_cast<BatchIterator*>(slot.value_ptr());
}

void bindWindows(py::module_& m) {
    py::class_<BatchIterator> cls(m, "BatchIterator");
    cls.doc() = R"doc(Iterator of quorin.Batch over a range of the cost order, made by quorin.batches.

``iter(it) is it``. ``position`` counts the configurations handed out so far, the
skipped start included. Pickles as the matrix, its arguments and where it stands (a
cost and one column per row); the loaded iterator continues at ``position``. Made only
by quorin.batches: calling the type raises TypeError.)doc";
    cls.def("__iter__", [](py::object self) { return self; })
        .def("__next__", [](py::handle self) {
            py::object batch = nextBatch(iteratorOf(self));
            if (!batch) throw py::stop_iteration();
            return batch;
        })
        .def_property_readonly("position", [](py::handle self) { return toInt(iteratorOf(self).position()); },
                               "Configurations handed out so far, counting the skipped start.")
        .def("__reduce__", [](py::handle self) {
            BatchIterator& it = iteratorOf(self);
            return py::make_tuple(py::module_::import("quorin._core").attr("_restore_batches"), stateOf(it));
        });
    m.def("_restore_batches", &restore, py::arg("lengths"), py::arg("data"), py::arg("size"), py::arg("stop"),
          py::arg("threads"), py::arg("position"), py::arg("cost"), py::arg("columns"), py::arg("log") = false);
    m.def(
        "batches",
        [](quorin::ProbabilityMatrix probs, const py::object& size, const py::object& start, const py::object& stop,
           const py::object& threads,
           bool log) { return makeIterator(std::move(probs), size, start, stop, threads, log); },
        py::arg("probs"), py::arg("size") = py::int_(1 << 20), py::arg("start") = py::int_(0),
        py::arg("stop") = py::none(), py::arg("threads") = py::none(), py::kw_only(), py::arg("log") = false,
        R"doc(Iterator of quorin.Batch holding the configurations at positions start .. stop - 1
of the cost order of probs (cost, then columns in lexicographic order; zero
probabilities last), size per batch (the last may be short). stop=None: to the end.
threads: worker threads (None: every core); the output does not depend on it.
log=True: probs holds natural-log likelihoods (as for quorin.quorin); the costs are
those of each row's normalised probabilities.

The start is located through the weight table, without enumerating what comes before
it, and memory stays bounded (about 300 MiB besides the batches) however deep the range.
The returned quorin.BatchIterator pickles as the matrix, its arguments and where it
stands. The GIL is released while the C++ work runs; Ctrl-C stops a batch within about
10 ms and loses nothing. Raises ValueError for size < 1, start or stop < 0, threads < 1
and for probs that quorin.quorin refuses or with a row of zeros only (naming the row;
quorin.quorin only warns about it); TypeError for a non-integer argument.)doc");
}
