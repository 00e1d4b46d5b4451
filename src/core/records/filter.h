// Metadata filters: the Filter tree, evaluation against one record
// (matches), the inverted metadata index and its candidate sets.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/records/json.h"
#include "core/records/numeric_index.h"
#include "core/records/packed_json.h"
#include "core/records/slot_set.h"

namespace hovra {

struct Filter {
  enum class Op : std::uint8_t { Eq, Ne, In, Gt, Gte, Lt, Lte, And };
  Op op = Op::And;
  std::string field;              // all but And
  JsonValue value;                // Eq, Ne
  std::vector<JsonValue> values;  // In
  double threshold = 0.0;         // Gt, Gte, Lt, Lte
  std::vector<Filter> children;   // And

  static Filter eq(std::string field, JsonValue v);
  static Filter ne(std::string field, JsonValue v);
  static Filter in(std::string field, std::vector<JsonValue> vs);
  static Filter compare(Op op, std::string field, double threshold);
  static Filter all_of(std::vector<Filter> children);
  // The filter of a flat list of conditions: the one condition itself, or an
  // And of all of them (none, or two or more).
  static Filter from_conditions(std::vector<Filter> conditions);
};

// Whether a record's metadata satisfies the filter; absent or non-object
// metadata matches nothing.
bool matches(const Filter& filter, const JsonValue* metadata);
// The same for packed metadata (nullopt: none), read in place.
bool matches(const Filter& filter, std::optional<PackedValue> metadata);

// Inverted index: top-level bool/number/string fields of object metadata,
// field -> value -> slots; beside it the numbers of those fields in value
// order, kept in step by the same add and remove.
class MetadataIndex {
 public:
  void add(std::uint32_t slot, const JsonValue* metadata);
  void remove(std::uint32_t slot, const JsonValue* metadata);
  // The same for packed metadata (nullopt: none).
  void add(std::uint32_t slot, std::optional<PackedValue> metadata);
  void remove(std::uint32_t slot, std::optional<PackedValue> metadata);
  void clear() {
    fields_.clear();
    numbers_.clear();
  }
  bool empty() const { return fields_.empty(); }
  // The slots of one field and value, or nullptr.
  const SlotSet* lookup(const std::string& field, const JsonValue& value) const;
  bool has_field(const std::string& field) const { return fields_.count(field) != 0; }
  // Number of (field, value) entries; for tests and statistics.
  std::size_t entry_count() const;
  const NumericIndex& numbers() const { return numbers_; }
  // Bytes held, estimated from the containers' sizes.
  std::size_t memory_bytes() const;

 private:
  std::unordered_map<std::string, std::unordered_map<JsonValue, SlotSet, JsonValueHash>> fields_;
  NumericIndex numbers_;
};

// The candidate set of a filter from the index, or nullopt for "no answer".
std::optional<SlotSet> candidate_slots(const Filter& filter, const MetadataIndex& index);

// The same answer without copying an equality filter's set out of the
// index: valid only while the index is neither changed nor destroyed (the
// caller keeps it locked for reading).
class CandidateView {
 public:
  bool answered() const { return answered_; }
  // The set; only when answered().
  const SlotSet& slots() const { return borrowed_ ? *borrowed_ : owned_; }
  bool contains(std::uint32_t slot) const { return slots().count(slot) != 0; }

 private:
  friend CandidateView candidate_view(const Filter& filter, const MetadataIndex& index);
  bool answered_ = false;
  const SlotSet* borrowed_ = nullptr;
  SlotSet owned_;
};
CandidateView candidate_view(const Filter& filter, const MetadataIndex& index);

// At most how many of `live` live records can satisfy the filter, from the
// index alone: exact for equality, $in and numeric ranges, an upper bound
// for $ne and for And (the least of its conditions).
std::size_t match_bound(const Filter& filter, const MetadataIndex& index, std::size_t live);

// Whether the candidate set alone decides the filter (equality and $in,
// alone or under an And): then every slot in the set satisfies it.
bool decided_by_candidates(const Filter& filter);
// Whether the filter's narrowest range alone decides it (comparisons on
// one field, alone or under an And): then every slot in it satisfies it.
bool decided_by_range(const Filter& filter);

// The numeric range on one field that the filter's comparisons (the filter
// itself, or the children of an And, merged per field) hold fewest slots
// in; nullopt when it has none.
struct FieldRange {
  const std::string* field;
  NumberRange range;
  std::size_t count;
};
std::optional<FieldRange> narrowest_range(const Filter& filter, const MetadataIndex& index);

}  // namespace hovra
