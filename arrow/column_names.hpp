// Column names as consumers need them: unique and never empty. The same rule as pandas and polars
// in spirit: an empty name at position i (from 1) becomes "column_<i>", which is also the naming of
// every column when there is no header; a name seen before gets "_2", "_3", ... (the first free
// one, so that a later header name that already reads "a_2" keeps it). A NUL byte, which would end
// the C string a name travels as, becomes U+FFFD.
#pragma once

#include <string>
#include <vector>

namespace quorle::arrow {

std::vector<std::string> unique_column_names(const std::vector<std::string>& names);

}  // namespace quorle::arrow
