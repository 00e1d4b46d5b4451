// Tests of the filter parser: what each form of a filter document becomes,
// the message of each mistake, and a fuzz run over random documents (half
// shaped like filters, half any JSON, with the reserved markers mixed in)
// whose every accepted filter must then plan and evaluate without harm.
// Deterministic: the generator has a fixed seed.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "check.h"
#include "core/db/query_plan.h"
#include "core/records/filter_parse.h"
#include "core/records/json.h"
#include "core/records/metadata_index.h"
#include "random_json.h"

using namespace hovra;
using Op = Filter::Op;

namespace {

JsonValue json(const std::string& text) {
  JsonValue v;
  std::string error;
  if (!CHECK(parse_json(text, v, error))) std::fprintf(stderr, "    %s: %s\n", text.c_str(), error.c_str());
  return v;
}

bool parses(const std::string& text, Filter& out) {
  std::string error;
  bool ok = parse_filter(json(text), out, error);
  if (!ok) std::fprintf(stderr, "    %s: %s\n", text.c_str(), error.c_str());
  return ok;
}

std::string error_of(const JsonValue& doc) {
  Filter f;
  std::string error;
  if (parse_filter(doc, f, error)) return "(parsed)";
  return error;
}

std::string error_of(const std::string& text) { return error_of(json(text)); }

void test_forms() {
  Filter f;
  CHECK(parses("{}", f) && f.op == Op::Nothing);
  CHECK(parses("{\"a\":1}", f) && f.op == Op::Eq && f.field == "a" && f.value == JsonValue::unsigned_int(1));
  CHECK(parses("{\"a\":{\"$eq\":\"x\"}}", f) && f.op == Op::Eq && f.value == JsonValue::string("x"));
  CHECK(parses("{\"a\":{\"$gt\":1,\"$lt\":5}}", f) && f.op == Op::And && f.children.size() == 2);
  CHECK(f.children[0].op == Op::Gt && f.children[1].op == Op::Lt && f.children[1].threshold == 5);
  CHECK(parses("{\"a\":{\"$nin\":[1,\"x\",null]}}", f) && f.op == Op::Nin && f.values.size() == 3);
  CHECK(parses("{\"a\":{\"$exists\":false}}", f) && f.op == Op::Exists && !f.exists);
  CHECK(parses("{\"a\":{\"$contains\":\"x\"}}", f) && f.op == Op::Contains);
  CHECK(parses("{\"a\":{\"$not\":{\"$gt\":1,\"$lt\":5}}}", f) && f.op == Op::Not && f.children[0].op == Op::And);
  CHECK(parses("{\"$or\":[{\"a\":1},{\"b\":{\"$in\":[]}}],\"c\":2}", f) && f.op == Op::And);
  CHECK(f.children[0].op == Op::Or && f.children[0].children.size() == 2 && f.children[1].op == Op::Eq);
  CHECK(parses("{\"$and\":[{}]}", f) && f.op == Op::And && f.children.size() == 1 && f.children[0].op == Op::Nothing);
  CHECK(parses("{\"$not\":{\"a\":1}}", f) && f.op == Op::Not && f.children[0].op == Op::Eq);
  // Other keys that start with $ name fields, as they always did.
  CHECK(parses("{\"$nor\":1}", f) && f.op == Op::Eq && f.field == "$nor");
  // Range operands: any number or a non-finite marker; values compare by
  // kind, so a bool is refused.
  CHECK(!parses("{\"a\":{\"$gte\":true}}", f));
  JsonValue::Object inf_doc, ops;
  ops.emplace("$lt", non_finite_filter_number(-INFINITY));
  inf_doc.emplace("a", JsonValue::object(ops));
  std::string error;
  CHECK(parse_filter(JsonValue::object(inf_doc), f, error) && f.op == Op::Lt && f.threshold == -INFINITY);
  // As a value a non-finite number is null.
  JsonValue::Object nan_doc;
  nan_doc.emplace("a", non_finite_filter_number(NAN));
  CHECK(parse_filter(JsonValue::object(nan_doc), f, error) && f.op == Op::Eq &&
        f.value.kind() == JsonValue::Kind::Null);
}

void test_messages() {
  CHECK_TEXT(error_of("{\"a\":{\"$equals\":1}}"), "unknown operator: $equals");
  CHECK_TEXT(error_of("{\"a\":{\"$in\":3}}"), "$in value must be a list");
  CHECK_TEXT(error_of("{\"a\":{\"$gt\":\"x\"}}"), "$gt value must be a number");
  CHECK_TEXT(error_of("{\"a\":{\"$lte\":null}}"), "$lte value must be a number");
  CHECK_TEXT(error_of("{\"a\":[1]}"), "unsupported filter value type");
  CHECK_TEXT(error_of("{\"a\":{\"$ne\":{\"b\":1}}}"), "unsupported filter value type");
  CHECK_TEXT(error_of("{\"a\":{\"$in\":[1,[2]]}}"), "unsupported filter value type");
  CHECK_TEXT(error_of("{\"n\":{}}"), "empty operator dict for field 'n'");
  CHECK_TEXT(error_of("{\"a\":{\"$nin\":\"x\"}}"), "$nin value for field 'a' must be a list");
  CHECK_TEXT(error_of("{\"a\":{\"$exists\":1}}"), "$exists value for field 'a' must be a bool");
  CHECK_TEXT(error_of("{\"a\":{\"$contains\":null}}"),
             "$contains value for field 'a' must be a string, a number or a bool");
  CHECK_TEXT(error_of("{\"a\":{\"$contains\":[1]}}"),
             "$contains value for field 'a' must be a string, a number or a bool");
  CHECK_TEXT(error_of("{\"a\":{\"$not\":1}}"), "$not value for field 'a' must be an operator dict");
  CHECK_TEXT(error_of("{\"a\":{\"$not\":{}}}"), "empty operator dict for field 'a'");
  CHECK_TEXT(error_of("{\"$and\":[]}"), "$and value must be a non-empty list of filter dicts");
  CHECK_TEXT(error_of("{\"$or\":{\"a\":1}}"), "$or value must be a non-empty list of filter dicts");
  CHECK_TEXT(error_of("{\"$or\":[{\"a\":1},2]}"), "$or value must be a non-empty list of filter dicts");
  CHECK_TEXT(error_of("{\"$not\":[{\"a\":1}]}"), "$not value must be a filter dict");
  CHECK_TEXT(error_of("{\"$or\":[{\"a\":{\"$bad\":1}}]}"), "unknown operator: $bad");
  CHECK_TEXT(error_of("[1]"), "a filter must be a dict");
  // Foreign values are refused wherever they stand, each with its place's message.
  JsonValue::Object doc, ops;
  doc.emplace("a", foreign_filter_value());
  CHECK_TEXT(error_of(JsonValue::object(doc)), "unsupported filter value type");
  for (const char* op : {"$in", "$gt", "$exists", "$not"}) {
    ops.clear();
    ops.emplace(op, foreign_filter_value());
    doc.clear();
    doc.emplace("a", JsonValue::object(ops));
    std::string e = error_of(JsonValue::object(doc));
    CHECK(e.rfind(op, 0) == 0 && e.find("must be") != std::string::npos);
  }
  doc.clear();
  doc.emplace("$and", foreign_filter_value());
  CHECK_TEXT(error_of(JsonValue::object(doc)), "$and value must be a non-empty list of filter dicts");
  // Nesting of the logical forms is bounded.
  std::string deep = "{\"a\":1}";
  for (std::size_t i = 0; i <= kMaxFilterDepth; ++i) deep = "{\"$not\":" + deep + "}";
  CHECK_TEXT(error_of(deep), "filter nested more than 64 levels deep");
}

// Documents shaped like filters: operator and field names from small sets,
// operands of every kind (right and wrong), logical forms nested.
JsonValue random_document(std::mt19937_64& rng, int depth);

JsonValue random_operand(std::mt19937_64& rng, int depth) {
  switch (rng() % 8) {
    case 0:
      return foreign_filter_value();
    case 1: {
      const double specials[] = {NAN, INFINITY, -INFINITY};
      return non_finite_filter_number(specials[rng() % 3]);
    }
    case 2:
      return random_document(rng, depth + 1);
    case 3: {
      JsonValue::Array items;
      for (std::size_t n = rng() % 4; n > 0; --n) items.push_back(random_operand(rng, depth + 1));
      return JsonValue::array(std::move(items));
    }
    default:
      return random_json::value(rng, 3 + depth);
  }
}

JsonValue random_document(std::mt19937_64& rng, int depth) {
  static const char* keys[] = {"a", "b", "a.b", "", ".", "$and", "$or", "$not", "$x", "b.a.c"};
  static const char* ops[] = {"$eq",  "$ne",     "$in",       "$nin", "$gt", "$gte", "$lt",
                              "$lte", "$exists", "$contains", "$not", "$eq", "$bad"};
  JsonValue::Object members;
  if (depth > 6) return JsonValue::object(std::move(members));
  for (std::size_t n = rng() % 4; n > 0; --n) {
    std::string key = keys[rng() % 10];
    if (rng() % 3 == 0) {
      JsonValue::Object operators;
      for (std::size_t m = rng() % 3; m > 0; --m) operators[ops[rng() % 13]] = random_operand(rng, depth);
      members[key] = JsonValue::object(std::move(operators));
    } else if (key[0] == '$' && rng() % 2) {
      JsonValue::Array list;
      for (std::size_t m = rng() % 3; m > 0; --m) list.push_back(random_document(rng, depth + 1));
      members[key] = key == "$not" && !list.empty() ? list[0] : JsonValue::array(std::move(list));
    } else {
      members[key] = random_operand(rng, depth);
    }
  }
  return JsonValue::object(std::move(members));
}

void test_fuzz() {
  std::mt19937_64 rng(20250611);
  MetadataIndex index;
  std::vector<std::string> records;
  for (std::uint32_t slot = 0; slot < 64; ++slot) {
    JsonValue m = rng() % 4 ? random_document(rng, 3) : random_json::value(rng, 2);
    records.push_back(packed(m));
    index.add(slot, PackedValue(records.back()));
  }
  int parsed = 0, failed = 0, bad = 0;
  for (int round = 0; round < 20000; ++round) {
    JsonValue doc = round % 2 ? random_document(rng, 0) : random_json::value(rng, 0);
    Filter filter;
    std::string error;
    if (!parse_filter(doc, filter, error)) {
      ++failed;
      bad += error.empty();
      continue;
    }
    ++parsed;
    QueryPlan plan(filter, index, records.size());
    QueryPlan::Candidates c = plan.candidates();
    auto at = [&](std::uint32_t slot) { return std::optional<PackedValue>(PackedValue(records[slot])); };
    for (std::uint32_t slot = 0; slot < records.size(); ++slot) {
      bool truth = matches(filter, at(slot));
      bad += plan.admits(slot, at) != truth;
      if (c.slots && truth && !std::binary_search(c.slots->begin(), c.slots->end(), slot)) ++bad;
    }
  }
  CHECK(parsed > 2000 && failed > 2000);
  CHECK(bad == 0);
}

}  // namespace

int main() {
  test_forms();
  test_messages();
  test_fuzz();
  return check::exit_code("test_filter_parse");
}
