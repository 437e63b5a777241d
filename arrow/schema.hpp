// The schema of a batch stream: a struct ("+s") of nullable string columns, named from the header.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "arrow/abi.hpp"
#include "arrow/builder.hpp"

namespace quorle::arrow {

/// Fills `out` with a struct of one string column per name, the names made unique first
/// (column_names.hpp). Throws std::bad_alloc before touching `out`.
void export_schema(const std::vector<std::string>& names, StringType type, ArrowSchema* out);

/// The string width a consumer asks for with a requested schema: a struct whose children are all
/// "u" or all "U". Anything else is not a request we can serve, and the stream keeps its own type.
std::optional<StringType> requested_string_type(const ArrowSchema* requested);

}  // namespace quorle::arrow
