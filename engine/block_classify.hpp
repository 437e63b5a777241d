// Classifying 64 bytes at once into the bit masks that the tokenizer walks. The one place where
// the instruction set matters: SSE2 always, AVX2 or AVX-512 when the processor has them, chosen
// once per process.
#pragma once

#include <cstdint>

namespace quorle::engine {

/// Bit i of each mask describes byte i of a 64-byte block.
struct BlockMasks {
  std::uint64_t delimiter = 0;
  std::uint64_t stop = 0;  ///< the quote, CR or LF: the bytes that end a run of plain text
  std::uint64_t high = 0;  ///< 0x80 and above
};

using ClassifyBlock = BlockMasks (*)(const std::uint8_t* block, std::uint8_t delimiter,
                                     std::uint8_t quote);

BlockMasks classify_block_sse2(const std::uint8_t* block, std::uint8_t delimiter,
                               std::uint8_t quote);
/// Null when the processor lacks the instructions.
ClassifyBlock classify_block_avx2();
ClassifyBlock classify_block_avx512();

/// The fastest classifier this processor runs, unless one was chosen with use_block_classifier.
ClassifyBlock best_block_classifier();

/// For tests and benchmarks: scanners created from now on use `classify` (null: the fastest).
void use_block_classifier(ClassifyBlock classify);

}  // namespace quorle::engine
