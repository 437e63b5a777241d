#include "arrow/column_names.hpp"

#include <cstddef>
#include <unordered_map>
#include <unordered_set>

namespace quorle::arrow {
namespace {

// A name travels as a C string: a NUL would cut it short (to nothing, or to another column's
// name), so it becomes U+FFFD, as any text that cannot be carried does.
std::string without_nul(const std::string& name) {
  if (name.find('\0') == std::string::npos) return name;
  std::string out;
  for (const char c : name) {
    if (c == '\0') {
      out += "\xEF\xBF\xBD";
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

std::vector<std::string> unique_column_names(const std::vector<std::string>& names) {
  std::vector<std::string> out;
  out.reserve(names.size());
  for (std::size_t i = 0; i < names.size(); ++i) {
    out.push_back(names[i].empty() ? "column_" + std::to_string(i + 1) : without_nul(names[i]));
  }
  // Every name as given is reserved, so a suffix never takes a name that comes later.
  std::unordered_set<std::string> taken(out.begin(), out.end());
  std::unordered_set<std::string> seen;
  // Where the search for a free suffix resumes, per name: linear time for many duplicates.
  std::unordered_map<std::string, std::size_t> next_suffix;
  for (std::string& name : out) {
    if (seen.insert(name).second) continue;
    std::size_t& k = next_suffix.try_emplace(name, 2).first->second;
    std::string candidate;
    do {
      candidate = name + "_" + std::to_string(k++);
    } while (taken.count(candidate) != 0);
    taken.insert(candidate);
    seen.insert(candidate);
    name = std::move(candidate);
  }
  return out;
}

}  // namespace quorle::arrow
