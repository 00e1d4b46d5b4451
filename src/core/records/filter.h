// Metadata filters: the Filter tree that the parser builds, the planner
// reads and the evaluator runs, and its evaluation against one record's
// metadata (matches).
//
// Meaning, for a record whose metadata is an object (a record without
// metadata, or with metadata of another kind, matches no filter at all):
// - Conditions name a field. A field name is looked up as a whole first;
//   when the object has no member of that name and the name holds a dot,
//   the part before the first dot must name a member holding an object, in
//   which the rest is looked up by the same rule ("author.name").
// - Eq / In: the field holds a bool, number or string equal to the value
//   (to one of the values); values compare by kind, so 1, 1.0 and true
//   differ. Equality with null, an array or an object never holds.
// - Ne / Nin: the field is missing, or differs from the value (from every
//   value); here a null equals a null.
// - Gt, Gte, Lt, Lte: the field holds a number (of any kind, taken as a
//   double) in that relation to the threshold; a NaN threshold never holds.
// - Exists: the field is there (any value, null included), or, with
//   exists false, it is not.
// - Contains: the field holds an array with an element equal to the value,
//   or a string that holds the value (a string) as a substring.
// - And / Or: every child holds / some child holds; Not: its child does not.
// - Nothing: never holds (the filter of an empty filter document).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/records/json.h"
#include "core/records/packed_json.h"

namespace hovra {

struct Filter {
  enum class Op : std::uint8_t { Eq, Ne, In, Gt, Gte, Lt, Lte, And, Nin, Exists, Contains, Or, Not, Nothing };
  Op op = Op::And;
  std::string field;              // the conditions (all but And, Or, Not, Nothing)
  JsonValue value;                // Eq, Ne, Contains
  std::vector<JsonValue> values;  // In, Nin
  double threshold = 0.0;         // Gt, Gte, Lt, Lte
  bool exists = true;             // Exists: whether the field must be there
  std::vector<Filter> children;   // And, Or; Not has exactly one

  static Filter eq(std::string field, JsonValue v);
  static Filter ne(std::string field, JsonValue v);
  static Filter in(std::string field, std::vector<JsonValue> vs);
  static Filter nin(std::string field, std::vector<JsonValue> vs);
  static Filter compare(Op op, std::string field, double threshold);
  static Filter has_field(std::string field, bool exists);
  static Filter contains(std::string field, JsonValue v);
  static Filter all_of(std::vector<Filter> children);
  static Filter any_of(std::vector<Filter> children);
  static Filter negation(Filter child);
  static Filter nothing();
  // The filter of a flat list of conditions: the one condition itself, or an
  // And of all of them (none, or two or more).
  static Filter from_conditions(std::vector<Filter> conditions);

  bool is_logical() const { return op == Op::And || op == Op::Or || op == Op::Not || op == Op::Nothing; }
};

inline bool is_comparison(Filter::Op op) {
  return op == Filter::Op::Gt || op == Filter::Op::Gte || op == Filter::Op::Lt || op == Filter::Op::Lte;
}

// The value a field name leads to in an object (see the rule above), or
// nullopt.
std::optional<PackedValue> resolve_field(PackedValue object, std::string_view field);
// Whether a field name may lead past the object's own members (it holds a
// dot): the metadata index, which holds top-level fields only, then cannot
// answer for it.
inline bool is_top_level_name(std::string_view field) { return field.find('.') == std::string_view::npos; }

// Whether a record's metadata satisfies the filter; absent or non-object
// metadata matches nothing.
bool matches(const Filter& filter, const JsonValue* metadata);
// The same for packed metadata (nullopt: none), read in place.
bool matches(const Filter& filter, std::optional<PackedValue> metadata);

}  // namespace hovra
