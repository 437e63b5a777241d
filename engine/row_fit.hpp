// How a record fits the column count: the one rule both passes apply, the backend's and the
// package's, each with its own switches.
#pragma once

#include <cstdint>

#include "engine/records.hpp"

namespace quorle::engine {

/// AsIs: no count, or the record has it. Padded: empty fields added. Trimmed: surplus empty
/// fields dropped. Merged: the surplus joined into the last column. TooFew, TooMany: set aside.
enum class RowFit : std::uint8_t { AsIs, Padded, Trimmed, Merged, TooFew, TooMany };

struct FitRules {
  bool fill_ragged_rows = true;
  bool merge_overflow = true;
  /// Surplus fields that are all empty (trailing delimiters) are dropped, whatever
  /// merge_overflow says: there is nothing to merge.
  bool trim_empty_tail = false;
};

/// `tail_is_empty()` is asked only of a record wider than the count: whether its fields from the
/// count on are all empty.
template <class TailIsEmpty>
RowFit fit_row(std::uint64_t fields, std::uint64_t columns, const FitRules& rules,
               TailIsEmpty&& tail_is_empty) {
  if (columns == 0 || fields == columns) return RowFit::AsIs;
  if (fields < columns) return rules.fill_ragged_rows ? RowFit::Padded : RowFit::TooFew;
  if (rules.trim_empty_tail && tail_is_empty()) return RowFit::Trimmed;
  return rules.merge_overflow ? RowFit::Merged : RowFit::TooMany;
}

/// Why a record that does not fit is set aside.
constexpr QuarantineReason misfit_reason(RowFit fit) {
  return fit == RowFit::TooFew ? QuarantineReason::TooFewColumns : QuarantineReason::ExtraColumns;
}

}  // namespace quorle::engine
