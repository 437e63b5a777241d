// Classifying 64 bytes at once into the bit masks that the tokenizer walks. Beside
// find_bytes.hpp, the one place where the instruction set matters: a portable classifier always;
// SSE2, and AVX2 or AVX-512 when the processor has them, on x86-64; NEON on aarch64. The fastest
// is chosen once per process.
#pragma once

#include <cstdint>
#include <string_view>

namespace quorle::engine {

/// Bit i of each mask describes byte i of a 64-byte block.
struct BlockMasks {
  std::uint64_t delimiter = 0;
  std::uint64_t stop = 0;  ///< the quote, CR or LF: the bytes that end a run of plain text
  std::uint64_t high = 0;  ///< 0x80 and above
};

using ClassifyBlock = BlockMasks (*)(const std::uint8_t* block, std::uint8_t delimiter,
                                     std::uint8_t quote);

/// The portable classifier, in 64-bit words; every build has it.
BlockMasks classify_block_scalar(const std::uint8_t* block, std::uint8_t delimiter,
                                 std::uint8_t quote);

/// The names of the classifiers, the portable one first.
inline constexpr std::string_view BLOCK_CLASSIFIERS[] = {"scalar", "sse2", "avx2", "avx512",
                                                         "neon"};

/// The classifier of that name; null when this build or this processor lacks it.
ClassifyBlock block_classifier(std::string_view name);

/// The fastest classifier this processor runs, unless one was chosen with use_block_classifier.
ClassifyBlock best_block_classifier();

/// For tests and benchmarks: scanners created from now on use `classify` (null: the fastest).
void use_block_classifier(ClassifyBlock classify);

}  // namespace quorle::engine
