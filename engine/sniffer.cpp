#include "engine/sniffer.hpp"

#include <algorithm>
#include <cmath>

#include "engine/sampling.hpp"

namespace quorle::engine {
namespace {

constexpr std::uint8_t CANDIDATES[] = {',', ';', '\t', '|'};
constexpr std::size_t SAMPLE_RECORDS = 50;

double score(const std::vector<std::uint64_t>& sample) {
  if (sample.size() < 2) return 0.0;
  // The mode among counts of 2 or more; of equally frequent counts, the one seen first.
  std::uint64_t mode = 0;
  std::int32_t frequency = 0;
  for (const auto& [count, times] : count_frequencies(sample)) {
    if (count >= 2 && times > frequency) {
      mode = count;
      frequency = times;
    }
  }
  if (frequency == 0) return 0.0;
  const double share = static_cast<double>(frequency) / static_cast<double>(sample.size());
  return share * std::max(std::log(static_cast<double>(mode)), 1.0);
}

}  // namespace

std::uint8_t sniff_delimiter(std::string_view data) {
  std::uint8_t best = ',';
  double best_score = -1.0;
  for (const std::uint8_t candidate : CANDIDATES) {
    const double s = score(sample_field_counts(data, candidate, SAMPLE_RECORDS));
    if (s > best_score) {  // an equal score keeps the earlier candidate
      best = candidate;
      best_score = s;
    }
  }
  return best;
}

}  // namespace quorle::engine
