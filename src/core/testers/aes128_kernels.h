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

// A kernel works on groups of `groupSize` keys (the keys it keeps in flight at once), and
// holds no arrays of its own: the caller, built for any CPU, pads the last group. (Stack
// arrays in code built for wide registers get aligned to their width, more than what
// AddressSanitizer's fake stack frames guarantee.) Keys, plaintexts and ciphertexts are 16
// bytes each, stored one after another.
struct Kernel {
    // Encrypts the `plaintext` under each of the `count` keys at `keys` (count a multiple of
    // groupSize), writing the ciphertexts to `ciphertexts`.
    void (*encrypt)(const std::uint8_t* keys, std::size_t count, const std::uint8_t* plaintext,
                    std::uint8_t* ciphertexts);
    // The 11 round keys of each of the groupSize keys at `keys`: round r of key k to
    // roundKeys[16 * (r * groupSize + k) ..], round 0 being the key itself.
    void (*roundKeys)(const std::uint8_t* keys, std::uint8_t* roundKeys);
    std::size_t groupSize;
};

// The most keys of a group of any kernel.
constexpr std::size_t maxGroupSize = 32;

// The portable kernel, for any CPU.
Kernel portableKernel() noexcept;
// The kernels on the AES instructions: null functions when this build has none of that
// kind (another architecture or compiler). The caller checks that the CPU has the
// instructions before running one.
Kernel aesniKernel() noexcept;
Kernel vaes256Kernel() noexcept;
Kernel vaes512Kernel() noexcept;

}  // namespace aes128
}  // namespace quorin
