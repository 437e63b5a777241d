#include "engine/column_count.hpp"

#include "engine/sampling.hpp"

namespace quorle::engine {

namespace {
constexpr std::size_t SAMPLE_RECORDS = 100;
}

std::uint64_t infer_column_count(std::string_view data, std::uint8_t delimiter) {
  std::uint64_t choice = 0;
  std::int32_t frequency = 0;
  for (const auto& [count, times] :
       count_frequencies(sample_field_counts(data, delimiter, SAMPLE_RECORDS))) {
    if (times > frequency) {
      choice = count;
      frequency = times;
    }
  }
  return choice;
}

}  // namespace quorle::engine
