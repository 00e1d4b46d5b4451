// The inverted metadata index: adding and removing one record's top-level
// fields (posting, presence and element lists, numbers, the object set),
// lookups, and the index's size.
#include "core/records/metadata_index.h"

#include <algorithm>
#include <atomic>
#include <utility>

#include "core/base/heap.h"

namespace hovra {

bool is_scalar(JsonValue::Kind kind) {
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

namespace {

// Removes slot from the set at value, dropping the set once it is empty;
// how many were removed (0 or 1).
std::size_t erase_from(std::unordered_map<JsonValue, SlotSet, JsonValueHash>& map, const JsonValue& value,
                       std::uint32_t slot) {
  auto it = map.find(value);
  if (it == map.end()) return 0;
  std::size_t erased = it->second.erase(slot);
  if (it->second.empty()) map.erase(it);
  return erased;
}

}  // namespace

void MetadataIndex::add_member(std::uint32_t slot, std::string_view key, PackedValue value) {
  std::string field(key);
  Field& entry = fields_[field];
  entry.present.insert(slot);
  if (is_scalar(value.kind())) {
    entry.scalars += entry.values[value.to_json()].insert(slot) ? 1 : 0;
    if (value.is_number()) numbers_.add(field, value.number_as_double(), slot);
  } else if (value.kind() == JsonValue::Kind::Array) {
    value.for_each_item([&](PackedValue item) {
      if (is_scalar(item.kind())) entry.elements[item.to_json()].insert(slot);
    });
  }
}

void MetadataIndex::remove_member(std::uint32_t slot, std::string_view key, PackedValue value) {
  std::string field(key);
  auto it = fields_.find(field);
  if (it == fields_.end()) return;
  Field& entry = it->second;
  if (is_scalar(value.kind())) {
    if (value.is_number()) numbers_.remove(field, value.number_as_double(), slot);
    entry.scalars -= erase_from(entry.values, value.to_json(), slot);
  } else if (value.kind() == JsonValue::Kind::Array) {
    value.for_each_item([&](PackedValue item) {
      if (is_scalar(item.kind())) erase_from(entry.elements, item.to_json(), slot);
    });
  }
  entry.present.erase(slot);
  if (entry.present.empty()) fields_.erase(it);
}

std::uint64_t next_index_generation() {
  static std::atomic<std::uint64_t> counter{0};
  return counter.fetch_add(1, std::memory_order_relaxed) + 1;
}

void MetadataIndex::changed() { generation_ = next_index_generation(); }

void MetadataIndex::add(std::uint32_t slot, std::optional<PackedValue> metadata) {
  if (!metadata || !metadata->is_object()) return;
  changed();
  objects_.insert(slot);
  metadata->for_each_member([&](std::string_view key, PackedValue value) { add_member(slot, key, value); });
}

void MetadataIndex::remove(std::uint32_t slot, std::optional<PackedValue> metadata) {
  if (!metadata || !metadata->is_object()) return;
  changed();
  metadata->for_each_member([&](std::string_view key, PackedValue value) { remove_member(slot, key, value); });
  objects_.erase(slot);
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

void MetadataIndex::clear() {
  changed();
  fields_.clear();
  numbers_.clear();
  objects_.clear();
}

const SlotSet* MetadataIndex::lookup(const std::string& field, const JsonValue& value) const {
  auto field_it = fields_.find(field);
  if (field_it == fields_.end()) return nullptr;
  auto value_it = field_it->second.values.find(value);
  return value_it == field_it->second.values.end() ? nullptr : &value_it->second;
}

std::vector<const SlotSet*> MetadataIndex::lookup_all(const std::string& field,
                                                      const std::vector<JsonValue>& values) const {
  std::vector<const SlotSet*> sets;
  auto field_it = fields_.find(field);
  if (field_it == fields_.end()) return sets;
  const ValueSlots& lists = field_it->second.values;
  for (const JsonValue& v : values) {
    if (!is_scalar(v.kind())) continue;
    auto it = lists.find(v);
    if (it != lists.end()) sets.push_back(&it->second);
  }
  if (sets.size() <= 8) {
    auto end = sets.end();
    for (auto it = sets.begin(); it != end; ++it) end = std::remove(it + 1, end, *it);
    sets.erase(end, sets.end());
  } else {
    std::sort(sets.begin(), sets.end());
    sets.erase(std::unique(sets.begin(), sets.end()), sets.end());
  }
  return sets;
}

const SlotSet* MetadataIndex::presence(const std::string& field) const {
  auto it = fields_.find(field);
  return it == fields_.end() ? nullptr : &it->second.present;
}

const SlotSet* MetadataIndex::elements(const std::string& field, const JsonValue& value) const {
  auto field_it = fields_.find(field);
  if (field_it == fields_.end()) return nullptr;
  auto value_it = field_it->second.elements.find(value);
  return value_it == field_it->second.elements.end() ? nullptr : &value_it->second;
}

bool MetadataIndex::has_field(const std::string& field) const { return fields_.count(field) != 0; }

std::size_t MetadataIndex::value_count(const std::string& field) const {
  auto it = fields_.find(field);
  return it == fields_.end() ? 0 : it->second.values.size();
}

std::size_t MetadataIndex::scalar_count(const std::string& field) const {
  auto it = fields_.find(field);
  return it == fields_.end() ? 0 : it->second.scalars;
}

std::size_t MetadataIndex::entry_count() const {
  std::size_t n = 0;
  for (const auto& entry : fields_) n += entry.second.values.size();
  return n;
}

namespace {

std::size_t text_heap(const std::string& s) { return s.capacity() > 15 ? heap_chunk(s.capacity() + 1) : 0; }

std::size_t set_heap(const SlotSet& slots) {
  return slots.memory_bytes() != 0 ? heap_chunk(slots.memory_bytes()) : 0;
}

// Hash nodes: a next pointer, the element, and the cached hash of
// non-trivial keys.
std::size_t value_map_bytes(const std::unordered_map<JsonValue, SlotSet, JsonValueHash>& map) {
  std::size_t n = heap_chunk(map.bucket_count() * sizeof(void*));
  for (const auto& [value, slots] : map) {
    n += heap_chunk(sizeof(void*) * 2 + sizeof(JsonValue) + sizeof(SlotSet));
    if (value.kind() == JsonValue::Kind::String)
      n += heap_chunk(16 + sizeof(std::string)) + text_heap(value.as_string());
    n += set_heap(slots);
  }
  return n;
}

}  // namespace

std::size_t MetadataIndex::memory_bytes() const {
  std::size_t n = heap_chunk(fields_.bucket_count() * sizeof(void*)) + numbers_.memory_bytes() +
                  (objects_.memory_bytes() != 0 ? heap_chunk(objects_.memory_bytes()) : 0);
  for (const auto& [field, entry] : fields_) {
    n += heap_chunk(sizeof(void*) * 2 + sizeof(std::string) + sizeof(Field)) + text_heap(field);
    n += value_map_bytes(entry.values) + value_map_bytes(entry.elements) + set_heap(entry.present);
  }
  return n;
}

}  // namespace hovra
