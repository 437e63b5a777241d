#include "engine/column_count.hpp"

#include "engine/sampling.hpp"

namespace quorle::engine {

namespace {
constexpr std::size_t SAMPLE_RECORDS = 100;
}

std::uint64_t infer_column_count(std::string_view data, std::uint8_t delimiter) {
  return most_frequent_count(sample_field_counts(data, delimiter, SAMPLE_RECORDS));
}

std::uint64_t most_frequent_count(const std::vector<std::uint64_t>& sample) {
  std::uint64_t choice = 0;
  std::int32_t frequency = 0;
  for (const auto& [count, times] : count_frequencies(sample)) {
    if (times > frequency) {
      choice = count;
      frequency = times;
    }
  }
  return choice;
}

}  // namespace quorle::engine
