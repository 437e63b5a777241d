#include "arrow/schema.hpp"

#include <cstring>
#include <memory>

#include "arrow/column_names.hpp"

namespace quorle::arrow {
namespace {

struct ChildSchemaOwner {
  std::string name;
};

void release_child(ArrowSchema* schema) {
  if (schema == nullptr || schema->release == nullptr) return;
  delete static_cast<ChildSchemaOwner*>(schema->private_data);
  schema->release = nullptr;
}

struct SchemaOwner {
  std::vector<ArrowSchema> children;
  std::vector<ArrowSchema*> child_pointers;
};

void release_struct(ArrowSchema* schema) {
  if (schema == nullptr || schema->release == nullptr) return;
  auto* owner = static_cast<SchemaOwner*>(schema->private_data);
  for (ArrowSchema& child : owner->children)
    release_child(&child);
  delete owner;
  schema->release = nullptr;
}

}  // namespace

void export_schema(const std::vector<std::string>& names, StringType type, ArrowSchema* out) {
  std::vector<std::string> unique = unique_column_names(names);
  const std::size_t n = unique.size();
  auto owner = std::make_unique<SchemaOwner>();
  owner->children.resize(n);
  owner->child_pointers.resize(n);
  std::vector<std::unique_ptr<ChildSchemaOwner>> child_owners(n);
  for (std::size_t k = 0; k < n; ++k) {
    child_owners[k] = std::make_unique<ChildSchemaOwner>(ChildSchemaOwner{std::move(unique[k])});
  }
  for (std::size_t k = 0; k < n; ++k) {
    ChildSchemaOwner* child_owner = child_owners[k].release();
    ArrowSchema& child = owner->children[k];
    child = ArrowSchema{};
    child.format = format_of(type);
    child.name = child_owner->name.c_str();
    child.flags = ARROW_FLAG_NULLABLE;
    child.release = release_child;
    child.private_data = child_owner;
    owner->child_pointers[k] = &child;
  }
  *out = ArrowSchema{};
  out->format = kStructFormat;
  out->name = "";
  out->n_children = static_cast<std::int64_t>(n);
  out->children = owner->child_pointers.data();
  out->release = release_struct;
  out->private_data = owner.release();
}

std::optional<StringType> requested_string_type(const ArrowSchema* requested) {
  if (requested == nullptr || requested->format == nullptr ||
      std::strcmp(requested->format, kStructFormat) != 0 || requested->n_children == 0) {
    return std::nullopt;
  }
  std::optional<StringType> type;
  for (std::int64_t k = 0; k < requested->n_children; ++k) {
    const char* format = requested->children[k]->format;
    std::optional<StringType> t;
    if (std::strcmp(format, kStringFormat) == 0) t = StringType::kString;
    if (std::strcmp(format, kLargeStringFormat) == 0) t = StringType::kLargeString;
    if (!t || (type && *type != *t)) return std::nullopt;
    type = t;
  }
  return type;
}

}  // namespace quorle::arrow
