// Metadata filters: building Filter trees, evaluating them against one
// record's metadata, the inverted metadata index and the candidate sets it
// answers for equality filters.
#include "core/records/filter.h"

#include <algorithm>
#include <utility>

#include "core/base/heap.h"

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

Filter Filter::compare(Op op, std::string field, double threshold) {
  Filter f = on_field(op, std::move(field));
  f.threshold = threshold;
  return f;
}

Filter Filter::all_of(std::vector<Filter> children) {
  Filter f;
  f.op = Op::And;
  f.children = std::move(children);
  return f;
}

Filter Filter::from_conditions(std::vector<Filter> conditions) {
  if (conditions.size() == 1) return std::move(conditions.front());
  return all_of(std::move(conditions));
}

// ---------------------------------------------------------------------------
// Evaluation against one record

namespace {

bool contains_value(const std::vector<JsonValue>& values, PackedValue v) {
  for (const JsonValue& candidate : values) {
    if (v.equals(candidate)) return true;
  }
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

// The object's members are read in place: a field is found by a walk over
// the packed members, which stops at the first key past it.
bool matches_object(const Filter& filter, PackedValue object) {
  using Op = Filter::Op;
  if (filter.op == Op::And) {
    for (const Filter& child : filter.children) {
      if (!matches_object(child, object)) return false;
    }
    return true;
  }
  std::optional<PackedValue> v = object.find(filter.field);
  switch (filter.op) {
    case Op::Eq:
      return v && v->equals(filter.value);
    case Op::Ne:
      return !v || !v->equals(filter.value);
    case Op::In:
      return v && contains_value(filter.values, *v);
    case Op::Gt:
    case Op::Gte:
    case Op::Lt:
    case Op::Lte:
      return v && v->is_number() && compare_number(filter.op, v->number_as_double(), filter.threshold);
    case Op::And:
      break;
  }
  return false;
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

// ---------------------------------------------------------------------------
// Inverted metadata index

namespace {

bool is_indexed_value(JsonValue::Kind kind) {
  using Kind = JsonValue::Kind;
  switch (kind) {
    case Kind::Bool:
    case Kind::Unsigned:
    case Kind::Signed:
    case Kind::Float:
    case Kind::String:
      return true;
    default:
      return false;
  }
}

}  // namespace

void MetadataIndex::add(std::uint32_t slot, std::optional<PackedValue> metadata) {
  if (!metadata || !metadata->is_object()) return;
  metadata->for_each_member([&](std::string_view key, PackedValue value) {
    if (!is_indexed_value(value.kind())) return;
    std::string field(key);
    fields_[field][value.to_json()].insert(slot);
    if (value.is_number()) numbers_.add(field, value.number_as_double(), slot);
  });
}

void MetadataIndex::remove(std::uint32_t slot, std::optional<PackedValue> metadata) {
  if (!metadata || !metadata->is_object()) return;
  metadata->for_each_member([&](std::string_view key, PackedValue packed_value) {
    if (!is_indexed_value(packed_value.kind())) return;
    std::string field(key);
    if (packed_value.is_number()) numbers_.remove(field, packed_value.number_as_double(), slot);
    auto field_it = fields_.find(field);
    if (field_it == fields_.end()) return;
    auto& values = field_it->second;
    auto value_it = values.find(packed_value.to_json());
    if (value_it == values.end()) return;
    value_it->second.erase(slot);
    if (value_it->second.empty()) values.erase(value_it);
    if (values.empty()) fields_.erase(field_it);
  });
}

void MetadataIndex::add(std::uint32_t slot, const JsonValue* metadata) {
  if (metadata == nullptr) return;
  std::string bytes = packed(*metadata);
  add(slot, PackedValue(bytes));
}

void MetadataIndex::remove(std::uint32_t slot, const JsonValue* metadata) {
  if (metadata == nullptr) return;
  std::string bytes = packed(*metadata);
  remove(slot, PackedValue(bytes));
}

const SlotSet* MetadataIndex::lookup(const std::string& field, const JsonValue& value) const {
  auto field_it = fields_.find(field);
  if (field_it == fields_.end()) return nullptr;
  auto value_it = field_it->second.find(value);
  return value_it == field_it->second.end() ? nullptr : &value_it->second;
}

std::size_t MetadataIndex::entry_count() const {
  std::size_t n = 0;
  for (const auto& entry : fields_) n += entry.second.size();
  return n;
}

namespace {

std::size_t text_heap(const std::string& s) { return s.capacity() > 15 ? heap_chunk(s.capacity() + 1) : 0; }

}  // namespace

std::size_t MetadataIndex::memory_bytes() const {
  // Hash nodes: a next pointer, the element, and the cached hash of
  // non-trivial keys.
  std::size_t n = heap_chunk(fields_.bucket_count() * sizeof(void*)) + numbers_.memory_bytes();
  for (const auto& [field, values] : fields_) {
    n += heap_chunk(sizeof(void*) * 2 + sizeof(std::string) + sizeof(values)) + text_heap(field);
    n += heap_chunk(values.bucket_count() * sizeof(void*));
    for (const auto& [value, slots] : values) {
      n += heap_chunk(sizeof(void*) * 2 + sizeof(JsonValue) + sizeof(SlotSet));
      if (value.kind() == JsonValue::Kind::String)
        n += heap_chunk(16 + sizeof(std::string)) + text_heap(value.as_string());
      if (slots.memory_bytes() != 0) n += heap_chunk(slots.memory_bytes());
    }
  }
  return n;
}

// ---------------------------------------------------------------------------
// Candidate sets

namespace {

SlotSet equal_slots(const Filter& filter, const MetadataIndex& index) {
  if (index.empty()) return {};
  const SlotSet* slots = index.lookup(filter.field, filter.value);
  return slots ? *slots : SlotSet{};
}

SlotSet any_equal_slots(const Filter& filter, const MetadataIndex& index) {
  SlotSet result;
  if (index.empty() || !index.has_field(filter.field)) return result;
  for (const JsonValue& v : filter.values) {
    const SlotSet* slots = index.lookup(filter.field, v);
    if (slots) result.insert(slots->begin(), slots->end());
  }
  return result;
}

// Walks the smaller set and keeps the members found in the larger one.
SlotSet intersect(const SlotSet& a, const SlotSet& b) {
  const SlotSet& smaller = a.size() <= b.size() ? a : b;
  const SlotSet& larger = a.size() <= b.size() ? b : a;
  SlotSet result;
  for (std::uint32_t slot : smaller) {
    if (larger.count(slot)) result.insert(slot);
  }
  return result;
}

std::optional<SlotSet> all_of_slots(const Filter& filter, const MetadataIndex& index) {
  std::optional<SlotSet> result;
  bool skipped = false;
  for (const Filter& child : filter.children) {
    std::optional<SlotSet> answer = candidate_slots(child, index);
    if (!answer) {
      skipped = true;
      continue;
    }
    result = result ? intersect(*result, *answer) : std::move(*answer);
  }
  if (result) return result;
  if (skipped) return std::nullopt;
  return SlotSet{};
}

}  // namespace

std::optional<SlotSet> candidate_slots(const Filter& filter, const MetadataIndex& index) {
  switch (filter.op) {
    case Filter::Op::Eq:
      return equal_slots(filter, index);
    case Filter::Op::In:
      return any_equal_slots(filter, index);
    case Filter::Op::And:
      return all_of_slots(filter, index);
    default:
      return std::nullopt;
  }
}

CandidateView candidate_view(const Filter& filter, const MetadataIndex& index) {
  CandidateView view;
  if (filter.op == Filter::Op::Eq) {
    view.answered_ = true;
    view.borrowed_ = index.lookup(filter.field, filter.value);  // none: the empty owned_ set
    return view;
  }
  std::optional<SlotSet> answer = candidate_slots(filter, index);
  if (answer) {
    view.answered_ = true;
    view.owned_ = std::move(*answer);
  }
  return view;
}

// ---------------------------------------------------------------------------
// Sizes before a search

namespace {

bool is_comparison(Filter::Op op) {
  return op == Filter::Op::Gt || op == Filter::Op::Gte || op == Filter::Op::Lt || op == Filter::Op::Lte;
}

void narrow(NumberRange& range, const Filter& comparison) {
  switch (comparison.op) {
    case Filter::Op::Gt:
      range.above(comparison.threshold, true);
      break;
    case Filter::Op::Gte:
      range.above(comparison.threshold, false);
      break;
    case Filter::Op::Lt:
      range.below(comparison.threshold, true);
      break;
    case Filter::Op::Lte:
      range.below(comparison.threshold, false);
      break;
    default:
      break;
  }
}

std::size_t set_size(const MetadataIndex& index, const std::string& field, const JsonValue& value) {
  const SlotSet* slots = index.lookup(field, value);
  return slots ? slots->size() : 0;
}

}  // namespace

std::optional<FieldRange> narrowest_range(const Filter& filter, const MetadataIndex& index) {
  std::vector<const Filter*> comparisons;
  if (is_comparison(filter.op)) comparisons.push_back(&filter);
  if (filter.op == Filter::Op::And)
    for (const Filter& child : filter.children)
      if (is_comparison(child.op)) comparisons.push_back(&child);
  std::optional<FieldRange> best;
  for (std::size_t i = 0; i < comparisons.size(); ++i) {
    const std::string& field = comparisons[i]->field;
    bool seen = false;
    for (std::size_t j = 0; j < i && !seen; ++j) seen = comparisons[j]->field == field;
    if (seen) continue;
    NumberRange range = NumberRange::all();
    for (std::size_t j = i; j < comparisons.size(); ++j)
      if (comparisons[j]->field == field) narrow(range, *comparisons[j]);
    std::size_t count = index.numbers().count(field, range);
    if (!best || count < best->count) best = FieldRange{&field, range, count};
  }
  return best;
}

std::size_t match_bound(const Filter& filter, const MetadataIndex& index, std::size_t live) {
  using Op = Filter::Op;
  switch (filter.op) {
    case Op::Eq:
      return std::min(live, set_size(index, filter.field, filter.value));
    case Op::In: {
      // Each slot holds one value per field, so the sets of distinct values
      // are disjoint; equal values find the same set and count once.
      std::vector<const SlotSet*> seen;
      std::size_t n = 0;
      for (const JsonValue& v : filter.values) {
        const SlotSet* slots = index.lookup(filter.field, v);
        if (!slots || std::find(seen.begin(), seen.end(), slots) != seen.end()) continue;
        seen.push_back(slots);
        n += slots->size();
      }
      return std::min(live, n);
    }
    case Op::Ne: {
      std::size_t equal = set_size(index, filter.field, filter.value);
      return live > equal ? live - equal : 0;
    }
    case Op::Gt:
    case Op::Gte:
    case Op::Lt:
    case Op::Lte:
      return std::min(live, narrowest_range(filter, index)->count);
    case Op::And: {
      // No condition: the candidate set is empty, nothing matches.
      if (filter.children.empty()) return 0;
      std::size_t n = live;
      for (const Filter& child : filter.children) n = std::min(n, match_bound(child, index, live));
      if (auto range = narrowest_range(filter, index)) n = std::min(n, range->count);
      return n;
    }
  }
  return live;
}

bool decided_by_candidates(const Filter& filter) {
  switch (filter.op) {
    case Filter::Op::Eq:
    case Filter::Op::In:
      return true;
    case Filter::Op::And:
      for (const Filter& child : filter.children)
        if (child.op != Filter::Op::Eq && child.op != Filter::Op::In) return false;
      return true;
    default:
      return false;
  }
}

bool decided_by_range(const Filter& filter) {
  if (is_comparison(filter.op)) return true;
  if (filter.op != Filter::Op::And || filter.children.empty()) return false;
  for (const Filter& child : filter.children)
    if (!is_comparison(child.op) || child.field != filter.children.front().field) return false;
  return true;
}

}  // namespace hovra
