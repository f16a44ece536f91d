// The AES-128 implementations behind quorin::Aes128Tester, one per source file. The files
// of the x86 kernels are compiled with the instruction sets they use (see CMakeLists.txt)
// and run only after the CPU has been found to have them. So that no code built for those
// instruction sets ends up run elsewhere, they include only this header and the intrinsics
// headers, and keep everything but their entry point in an anonymous namespace: no inline
// function of the standard library is instantiated there, where the linker could pick that
// copy for the rest of the program.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quorin {
namespace aes128 {

// Encrypts the 16-byte `plaintext` under each of the `count` keys stored one after another
// (16 bytes each) at `keys`, writing the ciphertexts one after another to `ciphertexts`.
using EncryptFunction = void (*)(const std::uint8_t* keys, std::size_t count, const std::uint8_t* plaintext,
                                 std::uint8_t* ciphertexts);
// Writes the 11 round keys of the 16-byte `key` (176 bytes, round 0 first) to `roundKeys`.
using RoundKeysFunction = void (*)(const std::uint8_t* key, std::uint8_t* roundKeys);

struct Kernel {
    EncryptFunction encrypt;
    RoundKeysFunction roundKeys;
};

// The portable kernel, for any CPU.
Kernel portableKernel() noexcept;
// The kernels on the AES instructions: {nullptr, nullptr} when this build has none of that
// kind (another architecture or compiler). The caller checks that the CPU has the
// instructions before running one.
Kernel aesniKernel() noexcept;
Kernel vaes256Kernel() noexcept;
Kernel vaes512Kernel() noexcept;

}  // namespace aes128
}  // namespace quorin
