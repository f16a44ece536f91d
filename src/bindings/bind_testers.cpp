// Python face of the native testers: the base class quorin._core.Tester, whose instances a
// search can run inside the enumeration (nativeTester), and quorin.AES128. A tester is also
// an ordinary test callable, tester(columns, costs) -> hit indices, run in C++ with the GIL
// released.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <quorin/aes128.h>
#include <quorin/tester.h>

#include "bindings.h"

namespace py = pybind11;

namespace {

// What every Python tester holds: its C++ tester, and what its __call__ takes: batches
// of configurations of `rows` columns, each in [0, columnLimit).
struct TesterHandle {
    std::shared_ptr<const quorin::Tester> tester;
    std::size_t rows = 0;
    std::int64_t columnLimit = 0;
};

struct Aes128Handle : TesterHandle {
    std::shared_ptr<const quorin::Aes128Tester> aes;
    std::string requested;  // the implementation asked for: "automatic" unless given
};

// The handle of a tester whose __init__ has run; nullptr for anything else. (An instance
// made by __new__ alone holds unconstructed storage, which must never be read.)
const TesterHandle* handleOf(py::handle object) {
    if (!py::isinstance<TesterHandle>(object)) return nullptr;
    auto* instance = reinterpret_cast<py::detail::instance*>(object.ptr());
    if (!instance->get_value_and_holder().holder_constructed()) return nullptr;
    return &py::cast<const TesterHandle&>(object);
}

// The name of `object`'s class as Python code spells it, e.g. quorin.AES128.
std::string typeName(py::handle object) {
    const py::handle type = reinterpret_cast<PyObject*>(Py_TYPE(object.ptr()));
    return py::str(type.attr("__module__")).cast<std::string>() + "." +
           py::str(type.attr("__qualname__")).cast<std::string>();
}

const TesterHandle& constructedHandle(py::handle self) {
    const TesterHandle* handle = handleOf(self);
    if (handle == nullptr) {
        if (!py::isinstance<TesterHandle>(self)) throw py::type_error("expected a quorin tester, not " + typeName(self));
        throw py::type_error(typeName(self) + ".__init__() has not been called");
    }
    return *handle;
}

const Aes128Handle& constructedAes128(py::handle self) {
    if (!py::isinstance<Aes128Handle>(self)) {
        throw py::type_error("expected a quorin.AES128, not " + typeName(self));
    }
    return static_cast<const Aes128Handle&>(constructedHandle(self));
}

std::string shapeOf(const py::array& array) {
    std::string out = "(";
    for (py::ssize_t d = 0; d < array.ndim(); ++d) {
        out += (d > 0 ? ", " : "") + std::to_string(array.shape(d));
    }
    return out + (array.ndim() == 1 ? ",)" : ")");
}

bool isIntegerArray(const py::array& array) {
    const char kind = array.dtype().kind();
    return kind == 'i' || kind == 'u';
}

// ---------------------------------------------------------------------------------------
// tester(columns, costs)

// Configurations tested between two checks for Ctrl-C, without the GIL.
constexpr std::size_t chunkConfigurations = std::size_t{1} << 15;

// The index of the first of the `n` values at `values` outside [0, limit), or n.
template <class T>
std::size_t firstOutside(const T* values, std::size_t n, std::int64_t limit) {
    std::size_t bad = n;
    for (std::size_t i = 0; i < n; ++i) {
        const auto value = static_cast<std::int64_t>(values[i]);
        if (value < 0 || value >= limit) {
            bad = i;
            break;
        }
    }
    return bad;
}

// The columns argument as a C-contiguous (m, rows) array of int32 or, for other integer
// dtypes, of int64 (narrowed chunk by chunk once checked).
py::array columnsArray(py::handle columns, std::size_t rows) {
    py::array array = py::array::ensure(columns);
    if (!array) {
        PyErr_Clear();
        throw py::type_error("columns must be an array of integers of shape (m, " + std::to_string(rows) + "), not " +
                             std::string(Py_TYPE(columns.ptr())->tp_name));
    }
    if (!isIntegerArray(array)) {
        throw py::type_error("columns must be an array of integers, not of dtype " + py::str(array.dtype()).cast<std::string>());
    }
    if (array.ndim() != 2 || static_cast<std::size_t>(array.shape(1)) != rows) {
        throw py::value_error("columns must have shape (m, " + std::to_string(rows) + "), one configuration per row, not " +
                              shapeOf(array));
    }
    if (array.dtype().is(py::dtype::of<std::int32_t>())) {
        return py::array_t<std::int32_t, py::array::c_style | py::array::forcecast>::ensure(array);
    }
    // Every other integer dtype fits int64, or wraps to a negative value (uint64 above
    // 2^63), which the range check refuses.
    return py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>::ensure(array);
}

py::array_t<double> costsArray(py::handle costs, std::size_t m) {
    if (costs.is_none()) return py::array_t<double>(static_cast<py::ssize_t>(m));  // filled below
    auto array = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(costs);
    if (!array) {
        PyErr_Clear();
        throw py::type_error("costs must be an array of floats or None, not " + std::string(Py_TYPE(costs.ptr())->tp_name));
    }
    if (array.ndim() != 1 || static_cast<std::size_t>(array.shape(0)) != m) {
        throw py::value_error("costs must have shape (" + std::to_string(m) + ",), one per configuration, not " +
                              shapeOf(array));
    }
    return array;
}

// The hits among `m` configurations of `rows` columns at `columns`: the range check and the
// test chunk by chunk, without the GIL, with a check for Ctrl-C after each chunk.
template <class T>
std::vector<std::size_t> hitsOf(const TesterHandle& handle, const T* columns, const double* costs, std::size_t m) {
    const std::size_t rows = handle.rows;
    std::vector<std::size_t> hits;
    std::vector<std::int32_t> narrowed;
    for (std::size_t start = 0; start < m; start += chunkConfigurations) {
        const std::size_t n = std::min(chunkConfigurations, m - start);
        const T* const chunk = columns + start * rows;
        std::size_t bad = 0;
        {
            py::gil_scoped_release release;
            bad = firstOutside(chunk, n * rows, handle.columnLimit);
            if (bad == n * rows) {
                const std::int32_t* tested = nullptr;
                if constexpr (std::is_same_v<T, std::int32_t>) {
                    tested = chunk;
                } else {
                    narrowed.assign(chunk, chunk + n * rows);  // checked: every value fits
                    tested = narrowed.data();
                }
                const std::size_t before = hits.size();
                handle.tester->test(tested, costs + start, n, rows, hits);
                for (std::size_t i = before; i < hits.size(); ++i) hits[i] += start;
            }
        }
        if (bad < n * rows) {
            const std::size_t k = start + bad / rows, i = bad % rows;
            throw py::value_error("columns[" + std::to_string(k) + ", " + std::to_string(i) + "] is " +
                                  std::to_string(static_cast<std::int64_t>(chunk[bad])) + ": columns go from 0 to " +
                                  std::to_string(handle.columnLimit - 1));
        }
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    }
    return hits;
}

py::array_t<std::int64_t> callTester(py::handle self, py::handle columns, py::handle costs) {
    const TesterHandle& handle = constructedHandle(self);
    const py::array columnArray = columnsArray(columns, handle.rows);
    const auto m = static_cast<std::size_t>(columnArray.shape(0));
    py::array_t<double> costArray = costsArray(costs, m);
    if (costs.is_none()) std::fill_n(costArray.mutable_data(), m, 0.0);
    std::vector<std::size_t> hits;
    if (columnArray.dtype().is(py::dtype::of<std::int32_t>())) {
        hits = hitsOf(handle, static_cast<const std::int32_t*>(columnArray.data()), costArray.data(), m);
    } else {
        hits = hitsOf(handle, static_cast<const std::int64_t*>(columnArray.data()), costArray.data(), m);
    }
    py::array_t<std::int64_t> out(static_cast<py::ssize_t>(hits.size()));
    std::copy(hits.begin(), hits.end(), out.mutable_data());
    return out;
}

void checkShape(py::handle self, const std::vector<std::size_t>& rowLengths) {
    constructedHandle(self).tester->checkShape(rowLengths);  // std::invalid_argument: ValueError
}

// ---------------------------------------------------------------------------------------
// AES128 arguments

using quorin::AesBlock;

[[noreturn]] void notABlock(const std::string& name, const std::string& what) {
    throw py::value_error(name + " must be 16 bytes (bytes, a uint8 array of shape (16,) or 32 hex digits), but " + what);
}

AesBlock blockOfBytes(const std::string& bytes, const std::string& name) {
    if (bytes.size() != 16) notABlock(name, "it has " + std::to_string(bytes.size()) + " bytes");
    AesBlock block{};
    std::copy(bytes.begin(), bytes.end(), block.begin());
    return block;
}

AesBlock blockOfHex(const std::string& text, const std::string& name) {
    std::string digits;
    for (char c : text) {
        if (std::isspace(static_cast<unsigned char>(c)) != 0) continue;
        if (std::isxdigit(static_cast<unsigned char>(c)) == 0) {
            throw py::value_error(name + " is not hexadecimal: '" + text + "' has the character '" + std::string(1, c) + "'");
        }
        digits.push_back(c);
    }
    if (digits.size() != 32) {
        throw py::value_error(name + " must be 32 hex digits (16 bytes), but '" + text + "' has " +
                              std::to_string(digits.size()));
    }
    AesBlock block{};
    for (std::size_t i = 0; i < 16; ++i) block[i] = static_cast<std::uint8_t>(std::stoul(digits.substr(2 * i, 2), nullptr, 16));
    return block;
}

// A NumPy array of shape (16,) or, if `several`, (k, 16) as blocks.
std::vector<AesBlock> blocksOfArray(const py::array& array, const std::string& name, bool several) {
    if (!isIntegerArray(array)) notABlock(name, "it is an array of dtype " + py::str(array.dtype()).cast<std::string>());
    const bool one = array.ndim() == 1 && array.shape(0) == 16;
    const bool many = several && array.ndim() == 2 && array.shape(1) == 16;
    if (!one && !many) notABlock(name, "it is an array of shape " + shapeOf(array));
    const auto values = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>::ensure(array);
    if (!values) throw py::error_already_set();
    const std::int64_t* data = values.data();
    const std::size_t size = static_cast<std::size_t>(values.size());
    const std::size_t bad = firstOutside(data, size, 256);
    if (bad < size) notABlock(name, "it holds the value " + std::to_string(data[bad]));
    std::vector<AesBlock> blocks(size / 16);
    for (std::size_t i = 0; i < size; ++i) blocks[i / 16][i % 16] = static_cast<std::uint8_t>(data[i]);
    return blocks;
}

// One block given as bytes, bytearray, str or an array; nothing when `value` is none of these.
bool singleBlock(py::handle value, const std::string& name, std::vector<AesBlock>& blocks) {
    if (PyBytes_Check(value.ptr())) {
        blocks.push_back(blockOfBytes(std::string(PyBytes_AS_STRING(value.ptr()), PyBytes_GET_SIZE(value.ptr())), name));
    } else if (PyByteArray_Check(value.ptr())) {
        blocks.push_back(
            blockOfBytes(std::string(PyByteArray_AS_STRING(value.ptr()), PyByteArray_GET_SIZE(value.ptr())), name));
    } else if (PyUnicode_Check(value.ptr())) {
        blocks.push_back(blockOfHex(value.cast<std::string>(), name));
    } else if (py::isinstance<py::array>(value)) {
        for (const AesBlock& block : blocksOfArray(py::reinterpret_borrow<py::array>(value), name, false)) {
            blocks.push_back(block);
        }
    } else {
        return false;
    }
    return true;
}

// The blocks of a plaintext or ciphertext argument: one block, an array of shape (k, 16), or
// a sequence of single blocks.
std::vector<AesBlock> blocksOf(py::handle value, const std::string& name) {
    std::vector<AesBlock> blocks;
    if (py::isinstance<py::array>(value) && py::reinterpret_borrow<py::array>(value).ndim() == 2) {
        return blocksOfArray(py::reinterpret_borrow<py::array>(value), name, true);
    }
    if (singleBlock(value, name, blocks)) return blocks;
    if (PySequence_Check(value.ptr()) == 0) {
        throw py::type_error(name + " must be bytes, a hex str, a uint8 array or a sequence of those, not " +
                             std::string(Py_TYPE(value.ptr())->tp_name));
    }
    const py::sequence items = py::reinterpret_borrow<py::sequence>(value);
    for (std::size_t i = 0; i < items.size(); ++i) {
        const std::string itemName = name + "[" + std::to_string(i) + "]";
        const py::object item = items[i];
        if (!singleBlock(item, itemName, blocks)) {
            throw py::type_error(itemName + " must be bytes, a hex str or a uint8 array of shape (16,), not " +
                                 std::string(Py_TYPE(item.ptr())->tp_name));
        }
    }
    return blocks;
}

AesBlock oneBlockOf(py::handle value, const std::string& name) {
    std::vector<AesBlock> blocks;
    if (!singleBlock(value, name, blocks)) {
        throw py::type_error(name + " must be bytes, a hex str or a uint8 array of shape (16,), not " +
                             std::string(Py_TYPE(value.ptr())->tp_name));
    }
    return blocks.front();
}

std::unique_ptr<Aes128Handle> makeAes128(py::handle plaintext, py::handle ciphertext, const std::string& implementation) {
    const std::vector<AesBlock> plaintexts = blocksOf(plaintext, "plaintext");
    const std::vector<AesBlock> ciphertexts = blocksOf(ciphertext, "ciphertext");
    if (plaintexts.size() != ciphertexts.size()) {
        throw py::value_error("plaintext has " + std::to_string(plaintexts.size()) + " blocks but ciphertext has " +
                              std::to_string(ciphertexts.size()) + ": give one ciphertext per plaintext");
    }
    if (plaintexts.empty()) throw py::value_error("plaintext and ciphertext hold no block: give at least one pair");
    std::vector<quorin::Aes128Tester::Pair> pairs;
    for (std::size_t i = 0; i < plaintexts.size(); ++i) pairs.push_back({plaintexts[i], ciphertexts[i]});
    auto handle = std::make_unique<Aes128Handle>();
    handle->aes = std::make_shared<const quorin::Aes128Tester>(std::move(pairs),
                                                               quorin::Aes128Tester::fromName(implementation));
    handle->tester = handle->aes;
    handle->rows = 16;
    handle->columnLimit = 256;
    handle->requested = implementation;
    return handle;
}

py::bytes toBytes(const AesBlock& block) {
    return py::bytes(reinterpret_cast<const char*>(block.data()), block.size());
}

std::string toHex(const AesBlock& block) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (std::uint8_t byte : block) {
        out.push_back(digits[byte >> 4]);
        out.push_back(digits[byte & 15]);
    }
    return out;
}

py::tuple blocksTuple(const Aes128Handle& handle, bool plaintexts) {
    const auto& pairs = handle.aes->pairs();
    py::tuple out(pairs.size());
    for (std::size_t i = 0; i < pairs.size(); ++i) out[i] = toBytes(plaintexts ? pairs[i].plaintext : pairs[i].ciphertext);
    return out;
}

std::string reprOf(const Aes128Handle& handle) {
    const auto& pairs = handle.aes->pairs();
    auto list = [&](bool plaintexts) {
        if (pairs.size() == 1) return "'" + toHex(plaintexts ? pairs[0].plaintext : pairs[0].ciphertext) + "'";
        std::string out = "[";
        for (std::size_t i = 0; i < pairs.size(); ++i) {
            out += (i > 0 ? ", '" : "'") + toHex(plaintexts ? pairs[i].plaintext : pairs[i].ciphertext) + "'";
        }
        return out + "]";
    };
    std::string out = "AES128(plaintext=" + list(true) + ", ciphertext=" + list(false);
    if (handle.requested != "automatic") out += ", implementation='" + handle.requested + "'";
    return out + ")";
}

}  // namespace

std::shared_ptr<const quorin::Tester> nativeTester(py::handle object) {
    const TesterHandle* handle = handleOf(object);
    return handle == nullptr ? nullptr : handle->tester;
}

void bindTesters(py::module_& module) {
    py::class_<TesterHandle> tester(module, "Tester", R"doc(A test of configurations that runs in native code.

``tester(columns, costs)`` returns the indices of the configurations that pass as an int64
array; a search runs it inside the enumeration. Made by its subclasses (``quorin.AES128``).)doc");
    tester
        .def("__call__", &callTester, py::arg("columns"), py::arg("costs") = py::none(),
             "The indices (int64, ascending) of the configurations of ``columns`` (one per row) that pass; "
             "``costs`` (one per configuration) may be None.")
        .def("check_shape", &checkShape, py::arg("probs_row_lengths"),
             "Raises ValueError when a matrix of rows of these lengths cannot be tested by this tester.")
        .def_property_readonly(
            "unique", [](py::handle self) { return constructedHandle(self).tester->unique(); },
            "Whether a hit is the only one there is (for AES-128: a key that maps a whole block to its "
            "ciphertext); a search stops at it.");

    py::class_<Aes128Handle, TesterHandle> aes(module, "AES128", R"doc(AES-128 known-plaintext test of candidate keys.

Configurations of a 16-row matrix are keys (column j of row i: key byte i = j); a key passes
when it encrypts every plaintext to its ciphertext. ``plaintext`` and ``ciphertext``: 16 bytes
each (bytes, bytearray, a uint8 array of shape (16,), or 32 hex digits), or several pairs
(arrays of shape (k, 16) or sequences of blocks). ``implementation``: "automatic" (the
fastest this CPU has), "portable", "aesni", "vaes256" or "vaes512".)doc");
    aes.attr("__module__") = "quorin";
    aes.def(py::init(&makeAes128), py::arg("plaintext"), py::arg("ciphertext"), py::arg("implementation") = "automatic")
        .def_property_readonly(
            "plaintexts", [](py::handle self) { return blocksTuple(constructedAes128(self), true); },
            "The plaintexts, as a tuple of bytes.")
        .def_property_readonly(
            "ciphertexts", [](py::handle self) { return blocksTuple(constructedAes128(self), false); },
            "The ciphertexts, as a tuple of bytes.")
        .def_property_readonly(
            "implementation",
            [](py::handle self) { return quorin::Aes128Tester::name(constructedAes128(self).aes->implementation()); },
            "The implementation in use: \"portable\", \"aesni\", \"vaes256\" or \"vaes512\".")
        .def("__repr__", [](py::handle self) { return reprOf(constructedAes128(self)); })
        .def("__reduce__",
             [](py::handle self) {
                 const Aes128Handle& handle = constructedAes128(self);
                 py::tuple arguments = py::make_tuple(blocksTuple(handle, true), blocksTuple(handle, false));
                 if (handle.requested != "automatic") {
                     arguments = py::make_tuple(arguments[0], arguments[1], handle.requested);
                 }
                 return py::make_tuple(py::type::of(self), arguments);
             })
        .def_static(
            "encrypt",
            [](py::handle key, py::handle plaintext, const std::string& implementation) {
                return toBytes(quorin::aes128Encrypt(oneBlockOf(key, "key"), oneBlockOf(plaintext, "plaintext"),
                                                     quorin::Aes128Tester::fromName(implementation)));
            },
            py::arg("key"), py::arg("plaintext"), py::arg("implementation") = "automatic",
            "The AES-128 encryption of one block: ``plaintext`` under ``key`` (16 bytes each, in any form "
            "AES128 accepts), as bytes.")
        .def_static(
            "available", [](const std::string& implementation) {
                return quorin::Aes128Tester::available(quorin::Aes128Tester::fromName(implementation));
            },
            py::arg("implementation"), "Whether this CPU and this build can run that implementation.");
}
