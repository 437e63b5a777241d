#include "engine/sampling.hpp"

#include "engine/tokenizer.hpp"

namespace quorle::engine {

std::vector<std::uint64_t> sample_field_counts(std::string_view data, std::uint8_t delimiter,
                                               std::size_t limit) {
  std::vector<std::uint64_t> sample;
  sample.reserve(limit);
  RecordTokenizer tokenizer(data, delimiter, '"', true);
  FieldCounter record(data);
  while (sample.size() < limit && tokenizer.next(record)) {
    const std::uint64_t n = record.field_count();
    if (n == 0 || (n == 1 && record.first_field_blank())) continue;
    sample.push_back(n);
  }
  return sample;
}

std::vector<std::pair<std::uint64_t, std::int32_t>> count_frequencies(
    const std::vector<std::uint64_t>& sample) {
  std::vector<std::pair<std::uint64_t, std::int32_t>> table;  // at most 100 distinct keys
  for (const std::uint64_t n : sample) {
    auto it = table.begin();
    while (it != table.end() && it->first != n)
      ++it;
    if (it == table.end()) {
      table.emplace_back(n, 1);
    } else {
      ++it->second;
    }
  }
  return table;
}

}  // namespace quorle::engine
