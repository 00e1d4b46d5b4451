// The where_filter language: a filter document (a JSON object) read into a
// Filter tree, with the error text of the first thing wrong in it.
//
// A document's members are read in key order:
// - "$and" / "$or": a non-empty list of filter documents; "$not": one
//   filter document.
// - any other key names a field (see filter.h for dotted names). A value
//   that is not an object is an equality; an object is an operator dict,
//   each of its members one condition on the field: "$eq", "$ne" (a value),
//   "$in", "$nin" (a list of values), "$gt", "$gte", "$lt", "$lte" (a
//   number), "$exists" (a bool), "$contains" (a string, number or bool) and
//   "$not" (an operator dict, negated).
// - The conditions of one document (and of one operator dict) all hold
//   together: the filter is the one condition, or an And of them. An empty
//   document matches nothing; an empty operator dict is an error.
// - Values are strings, bools, numbers and null (which no equality holds
//   for); lists and objects are refused as values.
//
// Two kinds of caller values have no JSON form and travel as reserved
// objects whose one key is the byte 0xFF (never part of UTF-8 text, so no
// caller's key can look like them): a number that is not finite (a NaN or
// an infinity: a threshold as it is, null as a value) and a value of a type
// JSON does not have (refused wherever it stands).
#pragma once

#include <string>

#include "core/records/filter.h"
#include "core/records/json.h"

namespace hovra {

// How deep $and, $or and $not may nest.
inline constexpr std::size_t kMaxFilterDepth = 64;

JsonValue non_finite_filter_number(double v);
JsonValue foreign_filter_value();

// Reads a filter document. On failure returns false with `error` set to a
// message for the caller (for example "unknown operator: $foo",
// "$in value must be a list", "empty operator dict for field 'n'").
bool parse_filter(const JsonValue& document, Filter& out, std::string& error);

}  // namespace hovra
