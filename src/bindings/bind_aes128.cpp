// Python face of quorin.AES128, the native AES-128 tester: its arguments (blocks as bytes,
// hex or arrays), its properties, pickling and the one-block encryption.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <quorin/aes128.h>

#include "bindings.h"
#include "tester_handles.h"

namespace py = pybind11;
using namespace quorin_python;

namespace {

const Aes128Handle& constructedAes128(py::handle self) {
    if (!py::isinstance<Aes128Handle>(self)) {
        throw py::type_error("expected a quorin.AES128, not " + typeName(self));
    }
    return static_cast<const Aes128Handle&>(constructedHandle(self));
}

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

void bindAes128(py::module_& module) {
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
