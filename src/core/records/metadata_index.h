// MetadataIndex: the inverted index over the records' metadata that filters
// are planned from. Per top-level field: the slots holding each scalar value
// (posting lists), the slots holding the field at all, whatever its value
// (presence lists), the slots whose array at the field holds each scalar
// element (element lists), and the field's numbers in value order; beside
// them the slots whose metadata is an object, the set within which a
// negation is complemented.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/records/json.h"
#include "core/records/numeric_index.h"
#include "core/records/packed_json.h"
#include "core/records/slot_bits.h"
#include "core/records/slot_set.h"

namespace hovra {

// The value kinds that posting and element lists hold: bool, number, string.
bool is_scalar(JsonValue::Kind kind);

// A number no earlier call in this process returned.
std::uint64_t next_index_generation();

class MetadataIndex {
 public:
  void add(std::uint32_t slot, const JsonValue* metadata);
  void remove(std::uint32_t slot, const JsonValue* metadata);
  // The same for packed metadata (nullopt: none).
  void add(std::uint32_t slot, std::optional<PackedValue> metadata);
  void remove(std::uint32_t slot, std::optional<PackedValue> metadata);
  void clear();
  bool empty() const { return fields_.empty(); }
  // Names what the index holds: every change takes a number never given
  // before in this process, so two indexes (or one index at two moments)
  // with the same generation hold the same lists. A plan built over the
  // index stays valid while its generation does.
  std::uint64_t generation() const { return generation_; }

  // The slots of one field and scalar value, or nullptr.
  const SlotSet* lookup(const std::string& field, const JsonValue& value) const;
  // The distinct posting lists of the scalar values among `values` (the
  // field looked up once, duplicates dropped without a quadratic search).
  std::vector<const SlotSet*> lookup_all(const std::string& field, const std::vector<JsonValue>& values) const;
  // The slots whose metadata holds the field (any value, null included), or
  // nullptr when none does.
  const SlotSet* presence(const std::string& field) const;
  // The slots whose array at the field holds the scalar value as an
  // element, or nullptr.
  const SlotSet* elements(const std::string& field, const JsonValue& value) const;
  // Calls f(text, slots) for every string value the field holds.
  template <class F>
  void for_each_string(const std::string& field, F&& f) const;
  // Calls f(slots) for the posting list of every scalar value the field
  // holds.
  template <class F>
  void for_each_value_list(const std::string& field, F&& f) const;
  // How many distinct scalar values the field holds, and how many slots
  // hold a scalar at it (each slot is in one posting list of the field).
  std::size_t value_count(const std::string& field) const;
  std::size_t scalar_count(const std::string& field) const;
  // The slots whose metadata is an object.
  const SlotBits& objects() const { return objects_; }
  bool has_field(const std::string& field) const;

  // Number of (field, scalar value) entries; for tests and statistics.
  std::size_t entry_count() const;
  const NumericIndex& numbers() const { return numbers_; }
  // Bytes held, estimated from the containers' sizes.
  std::size_t memory_bytes() const;

 private:
  using ValueSlots = std::unordered_map<JsonValue, SlotSet, JsonValueHash>;
  struct Field {
    ValueSlots values;        // scalar value -> slots
    std::size_t scalars = 0;  // slots in the lists of `values`
    SlotSet present;          // every slot holding the field
    ValueSlots elements;      // scalar array element -> slots
  };
  void add_member(std::uint32_t slot, std::string_view key, PackedValue value);
  void remove_member(std::uint32_t slot, std::string_view key, PackedValue value);

  void changed();

  std::unordered_map<std::string, Field> fields_;
  NumericIndex numbers_;
  SlotBits objects_;
  std::uint64_t generation_ = next_index_generation();
};

template <class F>
void MetadataIndex::for_each_string(const std::string& field, F&& f) const {
  auto it = fields_.find(field);
  if (it == fields_.end()) return;
  for (const auto& [value, slots] : it->second.values)
    if (value.kind() == JsonValue::Kind::String) f(std::string_view(value.as_string()), slots);
}

template <class F>
void MetadataIndex::for_each_value_list(const std::string& field, F&& f) const {
  auto it = fields_.find(field);
  if (it == fields_.end()) return;
  for (const auto& entry : it->second.values) f(entry.second);
}

}  // namespace hovra
