// Reading filter documents into Filter trees: the logical forms, operator
// dicts, operands and values, and the messages for what is wrong.
#include "core/records/filter_parse.h"

#include <cmath>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "core/records/metadata_index.h"

namespace hovra {

namespace {

using Kind = JsonValue::Kind;

const std::string kReservedKey = "\xFF";

// The reserved member of a marker object, or nullptr.
const JsonValue* reserved(const JsonValue& v) {
  if (v.kind() != Kind::Object || v.as_object().size() != 1) return nullptr;
  return v.find(kReservedKey);
}

// A non-finite number's value, if v is its marker.
std::optional<double> non_finite(const JsonValue& v) {
  const JsonValue* r = reserved(v);
  if (r == nullptr || r->kind() != Kind::String) return std::nullopt;
  const std::string& text = r->as_string();
  if (text == "nan") return std::numeric_limits<double>::quiet_NaN();
  if (text == "inf") return std::numeric_limits<double>::infinity();
  if (text == "-inf") return -std::numeric_limits<double>::infinity();
  return std::nullopt;
}

bool is_marker(const JsonValue& v) { return reserved(v) != nullptr; }

std::string quoted(const std::string& field) { return "'" + field + "'"; }

class Parser {
 public:
  explicit Parser(std::string& error) : error_(error) {}

  bool document(const JsonValue& doc, std::size_t depth, Filter& out) {
    if (depth > kMaxFilterDepth)
      return fail("filter nested more than " + std::to_string(kMaxFilterDepth) + " levels deep");
    if (doc.kind() != Kind::Object || is_marker(doc)) return fail("a filter must be a dict");
    if (doc.as_object().empty()) {
      out = Filter::nothing();
      return true;
    }
    std::vector<Filter> conditions;
    for (const auto& [key, value] : doc.as_object()) {
      if (key == "$and" || key == "$or") {
        if (!list_of_documents(key, value, depth, conditions)) return false;
      } else if (key == "$not") {
        Filter child;
        if (value.kind() != Kind::Object || is_marker(value)) return fail("$not value must be a filter dict");
        if (!document(value, depth + 1, child)) return false;
        conditions.push_back(Filter::negation(std::move(child)));
      } else if (value.kind() == Kind::Object && !is_marker(value)) {
        if (!operator_dict(key, value, depth, conditions)) return false;
      } else {
        JsonValue v;
        if (!filter_value(value, v)) return false;
        conditions.push_back(Filter::eq(key, std::move(v)));
      }
    }
    out = Filter::from_conditions(std::move(conditions));
    return true;
  }

 private:
  bool fail(std::string message) {
    error_ = std::move(message);
    return false;
  }

  bool list_of_documents(const std::string& op, const JsonValue& value, std::size_t depth,
                         std::vector<Filter>& conditions) {
    const std::string message = op + " value must be a non-empty list of filter dicts";
    if (value.kind() != Kind::Array || value.as_array().empty()) return fail(message);
    std::vector<Filter> children;
    for (const JsonValue& item : value.as_array()) {
      if (item.kind() != Kind::Object || is_marker(item)) return fail(message);
      Filter child;
      if (!document(item, depth + 1, child)) return false;
      children.push_back(std::move(child));
    }
    conditions.push_back(op == "$and" ? Filter::all_of(std::move(children)) : Filter::any_of(std::move(children)));
    return true;
  }

  bool operator_dict(const std::string& field, const JsonValue& dict, std::size_t depth,
                     std::vector<Filter>& conditions) {
    if (dict.as_object().empty()) return fail("empty operator dict for field " + quoted(field));
    for (const auto& [op, operand] : dict.as_object())
      if (!condition(field, op, operand, depth, conditions)) return false;
    return true;
  }

  bool condition(const std::string& field, const std::string& op, const JsonValue& operand, std::size_t depth,
                 std::vector<Filter>& conditions) {
    if (op == "$eq" || op == "$ne") {
      JsonValue v;
      if (!filter_value(operand, v)) return false;
      conditions.push_back(op == "$eq" ? Filter::eq(field, std::move(v)) : Filter::ne(field, std::move(v)));
      return true;
    }
    if (op == "$in" || op == "$nin") {
      if (operand.kind() != Kind::Array)
        return fail(op == "$in" ? std::string("$in value must be a list")
                                : "$nin value for field " + quoted(field) + " must be a list");
      std::vector<JsonValue> values;
      values.reserve(operand.as_array().size());
      for (const JsonValue& item : operand.as_array()) {
        if (is_scalar(item.kind())) {  // the common case: taken as it is
          values.push_back(item);
          continue;
        }
        JsonValue v;
        if (!filter_value(item, v)) return false;
        values.push_back(std::move(v));
      }
      conditions.push_back(op == "$in" ? Filter::in(field, std::move(values))
                                       : Filter::nin(field, std::move(values)));
      return true;
    }
    if (std::optional<Filter::Op> cmp = comparison(op)) {
      // Values compare by kind, so a bool is no bound for a range.
      if (operand.kind() == Kind::Bool) return fail(op + " value must be a number, not a bool");
      std::optional<double> threshold = number(operand);
      if (!threshold) return fail(op + " value must be a number");
      conditions.push_back(Filter::compare(*cmp, field, *threshold));
      return true;
    }
    if (op == "$exists") {
      if (operand.kind() != Kind::Bool) return fail("$exists value for field " + quoted(field) + " must be a bool");
      conditions.push_back(Filter::has_field(field, operand.as_bool()));
      return true;
    }
    if (op == "$contains") {
      if (!is_scalar(operand.kind()))
        return fail("$contains value for field " + quoted(field) + " must be a string, a number or a bool");
      conditions.push_back(Filter::contains(field, operand));
      return true;
    }
    if (op == "$not") {
      if (operand.kind() != Kind::Object || is_marker(operand))
        return fail("$not value for field " + quoted(field) + " must be an operator dict");
      if (depth + 1 > kMaxFilterDepth)
        return fail("filter nested more than " + std::to_string(kMaxFilterDepth) + " levels deep");
      std::vector<Filter> inner;
      if (!operator_dict(field, operand, depth + 1, inner)) return false;
      conditions.push_back(Filter::negation(Filter::from_conditions(std::move(inner))));
      return true;
    }
    return fail("unknown operator: " + op);
  }

  static std::optional<Filter::Op> comparison(const std::string& op) {
    if (op == "$gt") return Filter::Op::Gt;
    if (op == "$gte") return Filter::Op::Gte;
    if (op == "$lt") return Filter::Op::Lt;
    if (op == "$lte") return Filter::Op::Lte;
    return std::nullopt;
  }

  // A range operand: any number, or a non-finite number.
  static std::optional<double> number(const JsonValue& v) {
    if (v.is_number()) return v.number_as_double();
    return non_finite(v);
  }

  // A value of an equality, $ne, $in or $nin: a scalar or null; a
  // non-finite number becomes null.
  bool filter_value(const JsonValue& v, JsonValue& out) {
    if (non_finite(v)) {
      out = JsonValue::null();
      return true;
    }
    if (!is_scalar(v.kind()) && v.kind() != Kind::Null) return fail("unsupported filter value type");
    out = v;
    return true;
  }

  std::string& error_;
};

}  // namespace

JsonValue non_finite_filter_number(double v) {
  const char* text = std::isnan(v) ? "nan" : v > 0 ? "inf" : "-inf";
  JsonValue::Object members;
  members.emplace(kReservedKey, JsonValue::string(text));
  return JsonValue::object(std::move(members));
}

JsonValue foreign_filter_value() {
  JsonValue::Object members;
  members.emplace(kReservedKey, JsonValue::null());
  return JsonValue::object(std::move(members));
}

bool parse_filter(const JsonValue& document, Filter& out, std::string& error) {
  Parser parser(error);
  return parser.document(document, 0, out);
}

}  // namespace hovra
