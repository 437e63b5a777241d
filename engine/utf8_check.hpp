// Validating long stretches of UTF-8 at once, for the evidence scan that decides a file's
// encoding: most exports are well-formed throughout, and a stretch that is needs no look at its
// characters one by one. A portable check always; on x86-64 with AVX2, the vector form of the
// lookup-table validation of Keiser and Lemire (2021), three table look-ups per 32 bytes. The
// fastest is chosen once per process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quorle::engine {

struct Utf8Check {
  bool valid = true;        ///< the bytes are well-formed UTF-8, the last character complete
  std::uint64_t leads = 0;  ///< bytes of 0xC0 and above: when valid, the multi-byte characters
};

using CheckUtf8 = Utf8Check (*)(const std::uint8_t* bytes, std::size_t size);

/// The portable check; every build has it.
Utf8Check check_utf8_scalar(const std::uint8_t* bytes, std::size_t size);

/// The check of that name ("scalar", "avx2"); null when this build or this processor lacks it.
CheckUtf8 utf8_checker(std::string_view name);

/// The fastest check this processor runs.
CheckUtf8 best_utf8_checker();

}  // namespace quorle::engine
