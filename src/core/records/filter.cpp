// Metadata filters: building Filter trees and evaluating them against one
// record's metadata, read in place.
#include "core/records/filter.h"

#include <utility>

#include "core/records/metadata_index.h"

namespace hovra {

// ---------------------------------------------------------------------------
// Building filters

namespace {

Filter on_field(Filter::Op op, std::string field) {
  Filter f;
  f.op = op;
  f.field = std::move(field);
  return f;
}

Filter logical(Filter::Op op, std::vector<Filter> children) {
  Filter f;
  f.op = op;
  f.children = std::move(children);
  return f;
}

}  // namespace

Filter Filter::eq(std::string field, JsonValue v) {
  Filter f = on_field(Op::Eq, std::move(field));
  f.value = std::move(v);
  return f;
}

Filter Filter::ne(std::string field, JsonValue v) {
  Filter f = on_field(Op::Ne, std::move(field));
  f.value = std::move(v);
  return f;
}

Filter Filter::in(std::string field, std::vector<JsonValue> vs) {
  Filter f = on_field(Op::In, std::move(field));
  f.values = std::move(vs);
  return f;
}

Filter Filter::nin(std::string field, std::vector<JsonValue> vs) {
  Filter f = on_field(Op::Nin, std::move(field));
  f.values = std::move(vs);
  return f;
}

Filter Filter::compare(Op op, std::string field, double threshold) {
  Filter f = on_field(op, std::move(field));
  f.threshold = threshold;
  return f;
}

Filter Filter::has_field(std::string field, bool exists) {
  Filter f = on_field(Op::Exists, std::move(field));
  f.exists = exists;
  return f;
}

Filter Filter::contains(std::string field, JsonValue v) {
  Filter f = on_field(Op::Contains, std::move(field));
  f.value = std::move(v);
  return f;
}

Filter Filter::all_of(std::vector<Filter> children) { return logical(Op::And, std::move(children)); }

Filter Filter::any_of(std::vector<Filter> children) { return logical(Op::Or, std::move(children)); }

Filter Filter::negation(Filter child) {
  std::vector<Filter> children;
  children.push_back(std::move(child));
  return logical(Op::Not, std::move(children));
}

Filter Filter::nothing() { return logical(Op::Nothing, {}); }

Filter Filter::from_conditions(std::vector<Filter> conditions) {
  if (conditions.size() == 1) return std::move(conditions.front());
  return all_of(std::move(conditions));
}

// ---------------------------------------------------------------------------
// Evaluation against one record

// One whole-name lookup and at most one descent per level: a name with d
// dots costs at most d + 1 lookups.
std::optional<PackedValue> resolve_field(PackedValue object, std::string_view field) {
  for (;;) {
    if (std::optional<PackedValue> whole = object.find(field)) return whole;
    std::size_t dot = field.find('.');
    if (dot == std::string_view::npos) return std::nullopt;
    std::optional<PackedValue> head = object.find(field.substr(0, dot));
    if (!head || !head->is_object()) return std::nullopt;
    object = *head;
    field = field.substr(dot + 1);
  }
}

namespace {

// Equality as the filter means it: scalars only.
bool equal_scalar(PackedValue v, const JsonValue& value) { return is_scalar(value.kind()) && v.equals(value); }

// With scalars_only, equality as an equality condition means it; without,
// as $ne means it (a null equals a null).
bool equals_any(PackedValue v, const std::vector<JsonValue>& values, bool scalars_only) {
  for (const JsonValue& candidate : values)
    if (scalars_only ? equal_scalar(v, candidate) : v.equals(candidate)) return true;
  return false;
}

// Comparisons with a NaN threshold are false by IEEE rules.
bool compare_number(Filter::Op op, double x, double threshold) {
  switch (op) {
    case Filter::Op::Gt:
      return x > threshold;
    case Filter::Op::Gte:
      return x >= threshold;
    case Filter::Op::Lt:
      return x < threshold;
    case Filter::Op::Lte:
      return x <= threshold;
    default:
      return false;
  }
}

bool holds(PackedValue v, const JsonValue& value) {
  if (v.kind() == JsonValue::Kind::Array) {
    bool found = false;
    v.for_each_item([&](PackedValue item) { found = found || equal_scalar(item, value); });
    return found;
  }
  if (v.kind() == JsonValue::Kind::String && value.kind() == JsonValue::Kind::String)
    return v.as_string().find(value.as_string()) != std::string_view::npos;
  return false;
}

bool matches_object(const Filter& filter, PackedValue object);

bool matches_condition(const Filter& filter, PackedValue object) {
  using Op = Filter::Op;
  std::optional<PackedValue> v = resolve_field(object, filter.field);
  switch (filter.op) {
    case Op::Eq:
      return v && equal_scalar(*v, filter.value);
    case Op::Ne:
      return !v || !v->equals(filter.value);
    case Op::In:
      return v && equals_any(*v, filter.values, true);
    case Op::Nin:
      return !v || !equals_any(*v, filter.values, false);
    case Op::Gt:
    case Op::Gte:
    case Op::Lt:
    case Op::Lte:
      return v && v->is_number() && compare_number(filter.op, v->number_as_double(), filter.threshold);
    case Op::Exists:
      return v.has_value() == filter.exists;
    case Op::Contains:
      return v && holds(*v, filter.value);
    default:
      return false;
  }
}

bool matches_object(const Filter& filter, PackedValue object) {
  using Op = Filter::Op;
  switch (filter.op) {
    case Op::And:
      for (const Filter& child : filter.children)
        if (!matches_object(child, object)) return false;
      return true;
    case Op::Or:
      for (const Filter& child : filter.children)
        if (matches_object(child, object)) return true;
      return false;
    case Op::Not:
      return filter.children.empty() || !matches_object(filter.children.front(), object);
    case Op::Nothing:
      return false;
    default:
      return matches_condition(filter, object);
  }
}

}  // namespace

bool matches(const Filter& filter, std::optional<PackedValue> metadata) {
  if (!metadata || !metadata->is_object()) return false;
  return matches_object(filter, *metadata);
}

bool matches(const Filter& filter, const JsonValue* metadata) {
  if (metadata == nullptr) return false;
  std::string bytes = packed(*metadata);
  return matches(filter, PackedValue(bytes));
}

}  // namespace hovra
