// Tests of the metadata filters: matches, the inverted metadata index, and
// the planner's candidate sets, bounds and probes against the evaluator.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "check.h"
#include "core/db/plan_cache.h"
#include "core/db/query_plan.h"
#include "core/db/slot_lists.h"
#include "core/records/filter.h"
#include "core/records/json.h"
#include "core/records/metadata_index.h"

using hovra::Filter;
using hovra::JsonValue;
using hovra::matches;
using hovra::MetadataIndex;
using hovra::QueryPlan;
using hovra::SlotSet;
using Op = hovra::Filter::Op;

namespace {

JsonValue json(const std::string& text) {
  JsonValue v;
  std::string error;
  if (!CHECK(hovra::parse_json(text, v, error))) std::fprintf(stderr, "    %s: %s\n", text.c_str(), error.c_str());
  return v;
}

JsonValue u(std::uint64_t v) { return JsonValue::unsigned_int(v); }
JsonValue f(double v) { return JsonValue::floating(v); }
JsonValue s(const char* v) { return JsonValue::string(v); }

bool is_match(const Filter& filter, const std::string& metadata_text) {
  JsonValue m = json(metadata_text);
  return matches(filter, &m);
}

SlotSet slots(std::initializer_list<std::uint32_t> list) { return SlotSet(list); }

// A small table of records by slot, with its index kept in step.
struct Records {
  std::vector<std::optional<JsonValue>> metadata;
  MetadataIndex index;

  std::uint32_t add(const std::optional<std::string>& text) {
    auto slot = static_cast<std::uint32_t>(metadata.size());
    metadata.push_back(text ? std::optional<JsonValue>(json(*text)) : std::nullopt);
    index.add(slot, metadata.back() ? &*metadata.back() : nullptr);
    return slot;
  }
  void remove(std::uint32_t slot) {
    index.remove(slot, metadata[slot] ? &*metadata[slot] : nullptr);
    metadata[slot].reset();
  }
  const JsonValue* at(std::uint32_t slot) const { return metadata[slot] ? &*metadata[slot] : nullptr; }
  // The slots the evaluator says satisfy a filter.
  SlotSet matching(const Filter& filter) const {
    SlotSet result;
    for (std::uint32_t slot = 0; slot < metadata.size(); ++slot)
      if (matches(filter, at(slot))) result.insert(slot);
    return result;
  }
  // The slots a planned query finds: the candidates (when answered), each
  // admitted by the plan's test unless the candidates are exact; every slot
  // otherwise.
  SlotSet satisfying(const Filter& filter) const {
    QueryPlan plan(filter, index, metadata.size());
    std::vector<std::string> packed(metadata.size());
    auto packed_at = [&](std::uint32_t slot) -> std::optional<hovra::PackedValue> {
      if (!metadata[slot]) return std::nullopt;
      packed[slot] = hovra::packed(*metadata[slot]);
      return hovra::PackedValue(packed[slot]);
    };
    SlotSet result;
    QueryPlan::Candidates candidates = plan.candidates();
    if (candidates.slots) {
      for (std::uint32_t slot : *candidates.slots)
        if (candidates.exact || plan.admits(slot, packed_at)) result.insert(slot);
    } else {
      for (std::uint32_t slot = 0; slot < metadata.size(); ++slot)
        if (plan.admits(slot, packed_at)) result.insert(slot);
    }
    return result;
  }
};

// ---------------------------------------------------------------------------

void test_number_kinds_in_equality() {
  CHECK(is_match(Filter::eq("a", u(1)), "{\"a\":1}"));
  CHECK(!is_match(Filter::eq("a", f(1.0)), "{\"a\":1}"));
  CHECK(is_match(Filter::compare(Op::Gte, "a", 1.0), "{\"a\":1}"));
  CHECK(is_match(Filter::eq("a", f(1.0)), "{\"a\":1.0}"));
  CHECK(!is_match(Filter::eq("a", u(1)), "{\"a\":1.0}"));
  CHECK(is_match(Filter::eq("a", JsonValue::signed_int(-3)), "{\"a\":-3}"));
  CHECK(is_match(Filter::eq("a", JsonValue::signed_int(3)), "{\"a\":3}"));
  CHECK(is_match(Filter::eq("flag", JsonValue::boolean(true)), "{\"flag\":true}"));
  CHECK(!is_match(Filter::eq("flag", u(1)), "{\"flag\":true}"));
  CHECK(!is_match(Filter::eq("flag", JsonValue::boolean(true)), "{\"flag\":1}"));
  CHECK(!is_match(Filter::eq("a", s("5")), "{\"a\":5}"));
  CHECK(is_match(Filter::ne("a", f(1.0)), "{\"a\":1}"));
  CHECK(!is_match(Filter::ne("a", u(1)), "{\"a\":1}"));
  CHECK(is_match(Filter::in("a", {f(1.0), s("x"), u(1)}), "{\"a\":1}"));
  CHECK(!is_match(Filter::in("a", {f(1.0), s("1")}), "{\"a\":1}"));
  // Equality holds for scalars only.
  CHECK(!is_match(Filter::eq("a", json("[1,{\"b\":null}]")), "{\"a\":[1,{\"b\":null}]}"));
  CHECK(!is_match(Filter::eq("a", JsonValue::null()), "{\"a\":null}"));
  CHECK(!is_match(Filter::in("a", {JsonValue::null()}), "{\"a\":null}"));
}

void test_absent_or_non_object_metadata() {
  const std::vector<Filter> filters = {
      Filter::eq("a", u(1)),           Filter::ne("a", u(1)), Filter::in("a", {u(1)}),
      Filter::compare(Op::Lt, "a", 5), Filter::all_of({}),    Filter::all_of({Filter::ne("a", u(1))}),
  };
  for (const Filter& filter : filters) {
    CHECK(!matches(filter, nullptr));
    for (const char* text : {"[1]", "1", "\"a\"", "null", "true", "[{\"a\":1}]"}) CHECK(!is_match(filter, text));
  }
  // Object metadata, even an empty one, lets Ne and an empty And hold.
  CHECK(is_match(Filter::ne("a", u(1)), "{}"));
  CHECK(is_match(Filter::all_of({}), "{}"));
}

void test_missing_field() {
  CHECK(is_match(Filter::ne("a", u(1)), "{\"b\":2}"));
  CHECK(!is_match(Filter::compare(Op::Lt, "a", 5), "{\"b\":2}"));
  CHECK(!is_match(Filter::compare(Op::Gte, "a", -1e300), "{\"b\":2}"));
  CHECK(!is_match(Filter::eq("a", JsonValue::null()), "{\"b\":2}"));
  CHECK(!is_match(Filter::in("a", {JsonValue::null()}), "{\"b\":2}"));
  // A plain name is looked up at the top only.
  CHECK(!is_match(Filter::eq("c", u(1)), "{\"b\":{\"c\":1}}"));
}

void test_comparisons() {
  CHECK(is_match(Filter::compare(Op::Gt, "a", 1), "{\"a\":2}"));
  CHECK(!is_match(Filter::compare(Op::Gt, "a", 2), "{\"a\":2}"));
  CHECK(is_match(Filter::compare(Op::Gte, "a", 2), "{\"a\":2}"));
  CHECK(is_match(Filter::compare(Op::Lt, "a", 2.5), "{\"a\":2}"));
  CHECK(!is_match(Filter::compare(Op::Lt, "a", 2), "{\"a\":2}"));
  CHECK(is_match(Filter::compare(Op::Lte, "a", 2), "{\"a\":2.0}"));
  CHECK(is_match(Filter::compare(Op::Lt, "a", 0), "{\"a\":-9223372036854775808}"));
  CHECK(is_match(Filter::compare(Op::Gte, "a", 18446744073709551616.0), "{\"a\":18446744073709551615}"));
  CHECK(is_match(Filter::compare(Op::Lt, "a", 1e-300), "{\"a\":-0.0}"));
  // Non-numbers never compare.
  CHECK(!is_match(Filter::compare(Op::Gt, "a", 1), "{\"a\":\"5\"}"));
  CHECK(!is_match(Filter::compare(Op::Gt, "a", 0), "{\"a\":true}"));
  CHECK(!is_match(Filter::compare(Op::Lt, "a", 1), "{\"a\":null}"));
  CHECK(!is_match(Filter::compare(Op::Lt, "a", 1), "{\"a\":[0]}"));
  CHECK(!is_match(Filter::compare(Op::Lt, "a", 1), "{\"a\":{}}"));
  // A NaN threshold compares false every way.
  for (Op op : {Op::Gt, Op::Gte, Op::Lt, Op::Lte}) CHECK(!is_match(Filter::compare(op, "a", NAN), "{\"a\":1}"));
  // Infinite thresholds behave as plain bounds.
  CHECK(is_match(Filter::compare(Op::Lt, "a", INFINITY), "{\"a\":1.7976931348623157e308}"));
  CHECK(!is_match(Filter::compare(Op::Gt, "a", INFINITY), "{\"a\":1.7976931348623157e308}"));
}

void test_and_and_in() {
  Filter between = Filter::all_of({Filter::compare(Op::Gt, "a", 1), Filter::compare(Op::Lt, "a", 5)});
  CHECK(is_match(between, "{\"a\":3}"));
  CHECK(!is_match(between, "{\"a\":1}"));
  CHECK(!is_match(between, "{\"a\":5}"));
  CHECK(!is_match(Filter::in("a", {}), "{\"a\":1}"));
  CHECK(is_match(Filter::in("a", {s("x"), s("y")}), "{\"a\":\"y\"}"));
  CHECK(!is_match(Filter::in("a", {s("x"), s("y")}), "{\"a\":\"z\"}"));
  Filter nested =
      Filter::all_of({Filter::eq("k", s("v")), Filter::all_of({Filter::ne("n", u(0)), Filter::all_of({})})});
  CHECK(is_match(nested, "{\"k\":\"v\",\"n\":1}"));
  CHECK(!is_match(nested, "{\"k\":\"v\",\"n\":0}"));
  CHECK(!is_match(nested, "{\"k\":\"w\",\"n\":1}"));
}

void test_from_conditions() {
  Filter one = Filter::from_conditions({Filter::eq("a", u(1))});
  CHECK(one.op == Op::Eq && one.field == "a" && one.value == u(1) && one.children.empty());
  Filter none = Filter::from_conditions({});
  CHECK(none.op == Op::And && none.children.empty());
  Filter two = Filter::from_conditions({Filter::compare(Op::Gt, "a", 1), Filter::compare(Op::Lt, "a", 5)});
  CHECK(two.op == Op::And && two.children.size() == 2);
  CHECK(two.children[0].op == Op::Gt && two.children[1].op == Op::Lt && two.children[1].threshold == 5);
  Filter single_and = Filter::from_conditions({Filter::all_of({Filter::eq("a", u(1))})});
  CHECK(single_and.op == Op::And && single_and.children.size() == 1 && single_and.children[0].op == Op::Eq);
}

// ---------------------------------------------------------------------------

void test_index_contents() {
  MetadataIndex index;
  CHECK(index.empty());
  JsonValue m0 = json("{\"s\":\"x\",\"b\":true,\"u\":1,\"i\":-1,\"f\":1.0,\"n\":null,\"a\":[1],\"o\":{\"u\":1}}");
  index.add(0, &m0);
  CHECK(index.entry_count() == 5);
  CHECK(index.has_field("s") && index.has_field("b") && index.has_field("u") && index.has_field("i") &&
        index.has_field("f"));
  // Null, array and object values have presence but no value lists.
  CHECK(index.has_field("n") && index.has_field("a") && index.has_field("o"));
  CHECK(index.lookup("n", JsonValue::null()) == nullptr && index.lookup("a", json("[1]")) == nullptr);
  CHECK(index.lookup("u", u(1)) && *index.lookup("u", u(1)) == slots({0}));
  CHECK(index.lookup("u", f(1.0)) == nullptr);
  CHECK(index.lookup("f", f(1.0)) != nullptr);
  CHECK(index.lookup("f", u(1)) == nullptr);
  CHECK(index.lookup("b", u(1)) == nullptr);
  CHECK(index.lookup("i", JsonValue::signed_int(-1)) != nullptr);

  // Non-object and absent metadata index nothing.
  JsonValue arr = json("[{\"s\":\"x\"}]");
  JsonValue str = json("\"s\"");
  index.add(1, &arr);
  index.add(2, &str);
  index.add(3, nullptr);
  CHECK(index.entry_count() == 5);
  CHECK(*index.lookup("s", s("x")) == slots({0}));

  JsonValue m4 = json("{\"s\":\"x\",\"u\":2}");
  index.add(4, &m4);
  CHECK(*index.lookup("s", s("x")) == slots({0, 4}));
  CHECK(index.entry_count() == 6);

  // Removing empties sets and fields; shared entries keep their other slots.
  index.remove(0, &m0);
  CHECK(*index.lookup("s", s("x")) == slots({4}));
  CHECK(index.lookup("u", u(1)) == nullptr);
  CHECK(index.lookup("u", u(2)) != nullptr);
  CHECK(!index.has_field("b") && !index.has_field("i") && !index.has_field("f"));
  CHECK(index.entry_count() == 2);
  index.remove(4, &m4);
  CHECK(index.empty());
  CHECK(index.entry_count() == 0);
  // Removing what is not there changes nothing and does not fail.
  index.remove(4, &m4);
  index.remove(9, nullptr);
  index.remove(9, &arr);
  CHECK(index.empty());
  index.add(7, &m4);
  index.remove(8, &m4);
  CHECK(*index.lookup("s", s("x")) == slots({7}) && index.entry_count() == 2);
  index.clear();
  CHECK(index.empty());
}

void test_zero_signs_share_an_entry() {
  MetadataIndex index;
  JsonValue neg = json("{\"z\":-0.0}");
  JsonValue pos = json("{\"z\":0.0}");
  index.add(1, &neg);
  index.add(2, &pos);
  CHECK(index.entry_count() == 1);
  CHECK(index.lookup("z", f(0.0)) && *index.lookup("z", f(0.0)) == slots({1, 2}));
  CHECK(index.lookup("z", u(0)) == nullptr);
}

void test_new_operators() {
  // $nin: missing, or none of the values.
  CHECK(is_match(Filter::nin("a", {u(1), s("x")}), "{\"a\":2}"));
  CHECK(is_match(Filter::nin("a", {u(1)}), "{\"b\":1}"));
  CHECK(!is_match(Filter::nin("a", {u(1), s("x")}), "{\"a\":\"x\"}"));
  CHECK(is_match(Filter::nin("a", {}), "{\"a\":1}"));
  // $exists: any value counts, null included.
  CHECK(is_match(Filter::has_field("a", true), "{\"a\":null}"));
  CHECK(is_match(Filter::has_field("a", true), "{\"a\":[]}"));
  CHECK(!is_match(Filter::has_field("a", true), "{\"b\":1}"));
  CHECK(is_match(Filter::has_field("a", false), "{\"b\":1}"));
  CHECK(!is_match(Filter::has_field("a", false), "{\"a\":0}"));
  CHECK(!is_match(Filter::has_field("a", false), "[]"));
  // $contains: array elements by kind, substrings of strings.
  CHECK(is_match(Filter::contains("t", s("x")), "{\"t\":[\"x\",\"y\"]}"));
  CHECK(!is_match(Filter::contains("t", s("x")), "{\"t\":[[\"x\"],{\"x\":1}]}"));
  CHECK(is_match(Filter::contains("t", u(1)), "{\"t\":[1.0,1]}"));
  CHECK(!is_match(Filter::contains("t", u(1)), "{\"t\":[1.0,true]}"));
  CHECK(is_match(Filter::contains("t", s("ell")), "{\"t\":\"hello\"}"));
  CHECK(is_match(Filter::contains("t", s("")), "{\"t\":\"\"}"));
  CHECK(!is_match(Filter::contains("t", u(1)), "{\"t\":1}"));
  CHECK(!is_match(Filter::contains("t", s("x")), "{\"t\":{\"x\":1}}"));
  // $or, $not, nothing.
  Filter either = Filter::any_of({Filter::eq("a", u(1)), Filter::eq("b", u(2))});
  CHECK(is_match(either, "{\"b\":2}"));
  CHECK(!is_match(either, "{\"a\":2}"));
  CHECK(is_match(Filter::negation(either), "{\"a\":2}"));
  CHECK(!is_match(Filter::negation(either), "[1]"));
  CHECK(!matches(Filter::negation(either), nullptr));
  CHECK(!is_match(Filter::nothing(), "{}"));
  CHECK(is_match(Filter::negation(Filter::nothing()), "{}"));
  // $not of an equality is not $ne for null: equality never holds for null.
  CHECK(is_match(Filter::negation(Filter::eq("a", JsonValue::null())), "{\"a\":null}"));
  CHECK(!is_match(Filter::ne("a", JsonValue::null()), "{\"a\":null}"));
}

void test_dotted_fields() {
  CHECK(is_match(Filter::eq("b.c", u(1)), "{\"b\":{\"c\":1}}"));
  CHECK(is_match(Filter::eq("a.b.c", s("x")), "{\"a\":{\"b\":{\"c\":\"x\"}}}"));
  // The whole name first: a member named with a dot wins.
  CHECK(is_match(Filter::eq("b.c", u(2)), "{\"b\":{\"c\":1},\"b.c\":2}"));
  CHECK(!is_match(Filter::eq("b.c", u(1)), "{\"b\":{\"c\":1},\"b.c\":2}"));
  // Then the part before the first dot, and the rest inside it.
  CHECK(is_match(Filter::eq("a.b.c", u(3)), "{\"a\":{\"b.c\":3}}"));
  CHECK(!is_match(Filter::eq("a.b.c", u(3)), "{\"a.b\":{\"c\":3}}"));
  CHECK(!is_match(Filter::eq("b.c", u(1)), "{\"b\":[{\"c\":1}]}"));
  CHECK(is_match(Filter::has_field("b.c", false), "{\"b\":1}"));
  CHECK(is_match(Filter::ne("b.c", u(1)), "{\"b\":{\"c\":2}}"));
  CHECK(is_match(Filter::compare(Op::Gt, "b.n", 1), "{\"b\":{\"n\":1.5}}"));
  CHECK(is_match(Filter::eq("", u(1)), "{\"\":1}"));
  CHECK(is_match(Filter::eq(".", u(1)), "{\"\":{\"\":1}}"));
}

void test_index_lists() {
  Records r;
  r.add("{\"t\":[\"x\",\"y\",\"x\",1,[\"z\"]],\"n\":null}");  // 0
  r.add("{\"t\":\"xylophone\"}");                             // 1
  r.add("{\"t\":[true]}");                                    // 2
  r.add("[1]");                                               // 3
  r.add(std::nullopt);                                        // 4
  CHECK(r.index.presence("t") && *r.index.presence("t") == slots({0, 1, 2}));
  CHECK(r.index.presence("n") && *r.index.presence("n") == slots({0}));
  CHECK(r.index.elements("t", s("x")) && *r.index.elements("t", s("x")) == slots({0}));
  CHECK(r.index.elements("t", u(1)) && *r.index.elements("t", u(1)) == slots({0}));
  CHECK(r.index.elements("t", s("z")) == nullptr);
  CHECK(r.index.lookup("t", s("x")) == nullptr);
  CHECK(r.index.objects().size() == 3 && r.index.objects().test(2) && !r.index.objects().test(3));
  r.remove(0);
  CHECK(r.index.elements("t", s("x")) == nullptr && r.index.presence("n") == nullptr);
  CHECK(*r.index.presence("t") == slots({1, 2}) && r.index.objects().size() == 2);
  r.remove(1);
  r.remove(2);
  CHECK(r.index.empty() && r.index.objects().empty());
}

// The edge cases as a planned query sees them.
void test_planned_edge_cases() {
  Records r;
  r.add("{\"a\":1}");        // 0
  r.add("{\"a\":1.0}");      // 1
  r.add("{\"a\":null}");     // 2
  r.add(std::nullopt);       // 3
  r.add("{\"b\":2}");        // 4
  r.add("{\"a\":\"5\"}");    // 5
  r.add("{\"a\":[1]}");      // 6
  r.add("{\"flag\":true}");  // 7
  r.add("{\"flag\":1}");     // 8

  CHECK(r.satisfying(Filter::eq("a", u(1))) == slots({0}));
  CHECK(r.satisfying(Filter::eq("a", f(1.0))) == slots({1}));
  CHECK(r.satisfying(Filter::compare(Op::Gte, "a", 1.0)) == slots({0, 1}));
  CHECK(r.satisfying(Filter::eq("flag", JsonValue::boolean(true))) == slots({7}));
  CHECK(r.satisfying(Filter::eq("flag", u(1))) == slots({8}));
  CHECK(r.satisfying(Filter::eq("a", JsonValue::null())) == SlotSet{});
  CHECK(r.satisfying(Filter::in("a", {JsonValue::null(), u(1)})) == slots({0}));
  // Records without metadata satisfy nothing, not even a negation.
  CHECK(r.satisfying(Filter::ne("a", u(1))) == slots({1, 2, 4, 5, 6, 7, 8}));
  CHECK(r.satisfying(Filter::ne("a", JsonValue::null())) == slots({0, 1, 4, 5, 6, 7, 8}));
  CHECK(r.satisfying(Filter::negation(Filter::eq("a", u(1)))) == slots({1, 2, 4, 5, 6, 7, 8}));
  CHECK(r.satisfying(Filter::has_field("a", false)) == slots({4, 7, 8}));
  CHECK(r.satisfying(Filter::contains("a", u(1))) == slots({6}));
  CHECK(r.satisfying(Filter::contains("a", s("5"))) == slots({5}));
  CHECK(r.satisfying(Filter::compare(Op::Lt, "a", 5)) == slots({0, 1}));
  CHECK(r.satisfying(Filter::in("a", {})) == SlotSet{});
  CHECK(r.satisfying(Filter::nin("a", {})) == slots({0, 1, 2, 4, 5, 6, 7, 8}));
  CHECK(r.satisfying(Filter::nothing()) == SlotSet{});
  CHECK(r.satisfying(Filter::any_of({Filter::eq("a", u(1)), Filter::has_field("flag", true)})) == slots({0, 7, 8}));
  CHECK(r.satisfying(Filter::all_of({Filter::eq("a", u(1)), Filter::ne("a", f(1.0))})) == slots({0}));

  r.remove(7);
  CHECK(r.index.lookup("flag", JsonValue::boolean(true)) == nullptr);
  CHECK(r.satisfying(Filter::eq("flag", JsonValue::boolean(true))) == SlotSet{});
  r.remove(8);
  CHECK(!r.index.has_field("flag"));
}

// What the plan knows before it reads a record.
void test_plan_shapes() {
  Records r;
  for (int i = 0; i < 100; ++i)
    r.add("{\"g\":" + std::to_string(i % 10) + ",\"n\":" + std::to_string(i) + ",\"t\":[\"w" + std::to_string(i % 3) +
          "\"]}");
  r.add("{\"other\":1}");
  auto bound = [&](const Filter& filter) { return QueryPlan(filter, r.index, 101).bound(); };
  CHECK(bound(Filter::eq("g", u(3))) == 10);
  CHECK(bound(Filter::in("g", {u(3), u(4), u(3)})) == 20);
  CHECK(bound(Filter::ne("g", u(3))) == 91);
  CHECK(bound(Filter::nin("g", {u(3), u(4)})) == 81);
  CHECK(bound(Filter::has_field("g", false)) == 1);
  CHECK(bound(Filter::contains("t", s("w1"))) == 33);
  CHECK(bound(Filter::all_of({Filter::compare(Op::Gte, "n", 10), Filter::compare(Op::Lt, "n", 15)})) == 5);
  CHECK(bound(Filter::any_of({Filter::eq("g", u(1)), Filter::eq("g", u(2))})) == 20);
  CHECK(bound(Filter::negation(Filter::eq("g", u(1)))) == 91);
  CHECK(bound(Filter::eq("g.x", u(1))) == 101);  // dotted: evaluated, bounded by the records
  CHECK(bound(Filter::nothing()) == 0);

  QueryPlan ne(Filter::ne("g", u(3)), r.index, 101);
  CHECK(ne.answered() && ne.probes_decide() && ne.candidates().exact && ne.candidates().slots->size() == 91);
  Filter mixed = Filter::all_of({Filter::eq("g", u(3)), Filter::compare(Op::Lt, "n", 50)});
  QueryPlan m(mixed, r.index, 101);
  CHECK(m.answered() && !m.probes_decide() && m.bound() == 10);
  CHECK(m.candidates().slots && m.candidates().slots->size() == 5 && m.candidates().exact);
  Filter dotted = Filter::all_of({Filter::eq("g", u(3)), Filter::eq("t.x", u(1))});
  QueryPlan d(dotted, r.index, 101);
  CHECK(d.answered() && !d.candidates().exact && d.candidates().slots->size() == 10);
  QueryPlan open(Filter::eq("a.b", u(1)), r.index, 101);
  CHECK(!open.answered() && open.candidates().slots == nullptr);
  CHECK(!QueryPlan(Filter::ne("g", JsonValue::null()), r.index, 101).answered());
  CHECK(!QueryPlan(Filter::negation(dotted), r.index, 101).answered());
  CHECK(QueryPlan(Filter::negation(mixed), r.index, 101).answered());
}

// Random records, changes and filters of every operator, nested: the
// planned answer must equal the evaluator's, bounds must hold, exact
// candidates must be exact, and the index must equal one rebuilt from the
// live metadata.
void test_random_plans_agree_with_the_evaluator() {
  std::mt19937_64 rng(99);
  const std::vector<JsonValue> pool = {u(0),
                                       u(1),
                                       u(2),
                                       f(1.0),
                                       f(2.5),
                                       JsonValue::signed_int(-1),
                                       JsonValue::boolean(true),
                                       JsonValue::boolean(false),
                                       s("x"),
                                       s("xy"),
                                       s("1"),
                                       JsonValue::null(),
                                       json("[1,\"x\",true]"),
                                       json("[\"xy\",2.5]"),
                                       json("[]"),
                                       json("{\"a\":1,\"b\":\"x\"}"),
                                       json("{\"c\":{\"a\":2}}")};
  const std::vector<std::string> fields = {"a", "b", "c", "c.a", "c.c.a", "b.x"};
  auto random_metadata = [&]() -> std::optional<JsonValue> {
    if (rng() % 8 == 0) return std::nullopt;
    if (rng() % 10 == 0) return json("[1,2]");
    JsonValue::Object o;
    for (const std::string& field : {"a", "b", "c", "c.a"})
      if (rng() % 3) o[field] = pool[rng() % pool.size()];
    return JsonValue::object(std::move(o));
  };
  auto scalar = [&]() { return pool[rng() % 12]; };  // scalars and null
  auto values = [&]() {
    std::vector<JsonValue> vs;
    for (std::size_t n = rng() % 4; n > 0; --n) vs.push_back(scalar());
    return vs;
  };
  const double thresholds[] = {-1.0, 0.0, -0.0, 1.0, 2.5, 3.0, INFINITY, -INFINITY, NAN};
  std::function<Filter(int)> random_filter = [&](int depth) -> Filter {
    const std::string& field = fields[rng() % fields.size()];
    switch (rng() % (depth < 3 ? 13 : 9)) {
      case 0:
        return Filter::eq(field, scalar());
      case 1:
        return Filter::ne(field, scalar());
      case 2:
        return Filter::in(field, values());
      case 3:
        return Filter::nin(field, values());
      case 4:
        return Filter::compare(static_cast<Op>(static_cast<int>(Op::Gt) + rng() % 4), field, thresholds[rng() % 9]);
      case 5:
        return Filter::has_field(field, rng() % 2);
      case 6: {
        JsonValue v = scalar();
        return Filter::contains(field, v.kind() == JsonValue::Kind::Null ? s("x") : v);
      }
      case 7:
        return Filter::compare(Op::Gte, field, thresholds[rng() % 9]);
      case 8:
        return rng() % 20 == 0 ? Filter::nothing() : Filter::eq(field, scalar());
      case 9:
      case 10: {
        std::vector<Filter> children;
        for (std::size_t n = 1 + rng() % 3; n > 0; --n) children.push_back(random_filter(depth + 1));
        return rng() % 2 ? Filter::all_of(std::move(children)) : Filter::any_of(std::move(children));
      }
      default:
        return Filter::negation(random_filter(depth + 1));
    }
  };

  Records r;
  int bad_index = 0, bad_answer = 0, bad_bound = 0, bad_exact = 0;
  for (int step = 0; step < 2000; ++step) {
    if (r.metadata.empty() || rng() % 3) {
      r.add(std::nullopt);
      auto slot = static_cast<std::uint32_t>(r.metadata.size() - 1);
      r.metadata[slot] = random_metadata();
      r.index.add(slot, r.at(slot));
    } else {
      auto slot = static_cast<std::uint32_t>(rng() % r.metadata.size());
      r.remove(slot);
      if (rng() % 2) {
        r.metadata[slot] = random_metadata();
        r.index.add(slot, r.at(slot));
      }
    }
    if (step % 50 != 49) continue;

    MetadataIndex rebuilt;
    for (std::uint32_t slot = 0; slot < r.metadata.size(); ++slot) rebuilt.add(slot, r.at(slot));
    if (rebuilt.entry_count() != r.index.entry_count() || rebuilt.objects().size() != r.index.objects().size())
      ++bad_index;
    for (const std::string& field : fields) {
      const SlotSet* pa = rebuilt.presence(field);
      const SlotSet* pb = r.index.presence(field);
      if ((pa == nullptr) != (pb == nullptr) || (pa && *pa != *pb)) ++bad_index;
      for (const JsonValue& v : pool) {
        const SlotSet* a = rebuilt.lookup(field, v);
        const SlotSet* b = r.index.lookup(field, v);
        if ((a == nullptr) != (b == nullptr) || (a && *a != *b)) ++bad_index;
        a = rebuilt.elements(field, v);
        b = r.index.elements(field, v);
        if ((a == nullptr) != (b == nullptr) || (a && *a != *b)) ++bad_index;
      }
    }
    for (int q = 0; q < 40; ++q) {
      Filter filter = random_filter(0);
      SlotSet truth = r.matching(filter);
      if (r.satisfying(filter) != truth) ++bad_answer;
      QueryPlan plan(filter, r.index, r.metadata.size());
      if (plan.bound() < truth.size()) ++bad_bound;
      QueryPlan::Candidates c = plan.candidates();
      if (c.slots) {
        SlotSet listed(c.slots->begin(), c.slots->end());
        if (!std::is_sorted(c.slots->begin(), c.slots->end()) || listed.size() != c.slots->size()) ++bad_exact;
        for (std::uint32_t slot : truth)
          if (!listed.count(slot)) ++bad_exact;  // candidates must hold every match
        if (c.exact && listed != truth) ++bad_exact;
      }
    }
  }
  CHECK(bad_index == 0);
  CHECK(bad_answer == 0);
  CHECK(bad_bound == 0);
  CHECK(bad_exact == 0);
}

// The union of many value lists, in slot order, as put_in_slot_order gives
// it: from a few members (sorted) and from many (one bit per slot), with
// members repeated across lists.
void test_union_in_slot_order() {
  std::mt19937 rng(11);
  for (std::size_t total : {std::size_t{50}, std::size_t{5000}, std::size_t{200000}}) {
    for (std::size_t lists : {std::size_t{0}, std::size_t{1}, std::size_t{3}, std::size_t{500}}) {
      std::vector<SlotSet> sets(lists);
      std::set<std::uint32_t> want;
      for (SlotSet& set : sets) {
        std::size_t members = rng() % 12;
        for (std::size_t i = 0; i < members; ++i) {
          auto slot = static_cast<std::uint32_t>(rng() % total);
          set.insert(slot);
          want.insert(slot);
        }
      }
      std::vector<const SlotSet*> pointers;
      for (const SlotSet& set : sets) pointers.push_back(&set);
      std::vector<std::uint32_t> got{7, 7};  // replaced, not appended to
      hovra::union_in_slot_order(pointers, total, got);
      CHECK(got == std::vector<std::uint32_t>(want.begin(), want.end()));
    }
  }
}

// The flat slot set against std::set under random inserts and erases,
// with slots drawn from a small range (long probe runs, wrap-around at the
// array's end, erases inside runs) and from the whole 32-bit range.
void test_slot_set_against_a_reference() {
  std::mt19937 rng(7);
  for (std::uint32_t range : {64u, 5000u, 0xFFFFFFFEu}) {
    SlotSet set;
    std::set<std::uint32_t> want;
    std::size_t wrong = 0;
    for (int step = 0; step < 60000; ++step) {
      std::uint32_t slot = std::uniform_int_distribution<std::uint32_t>(0, range)(rng);
      if (rng() % 3 == 0) {
        wrong += set.erase(slot) != want.erase(slot);
      } else {
        wrong += set.insert(slot) != want.insert(slot).second;
      }
      if (step % 997 == 0) {
        std::vector<std::uint32_t> members(set.begin(), set.end());
        std::sort(members.begin(), members.end());
        wrong += members != std::vector<std::uint32_t>(want.begin(), want.end());
        for (std::uint32_t probe = 0; probe < 64; ++probe) wrong += set.count(probe) != want.count(probe);
      }
      wrong += set.size() != want.size();
    }
    CHECK(wrong == 0);
    SlotSet copy = set;
    SlotSet moved = std::move(copy);
    CHECK(moved.size() == want.size() && copy.empty() && copy.begin() == copy.end());
    for (std::uint32_t slot : want) moved.erase(slot);
    CHECK(moved.empty() && moved.memory_bytes() == 0);
  }
  SlotSet none;
  CHECK(!none.insert(SlotSet::kEmpty) && none.count(SlotSet::kEmpty) == 0 && none.erase(SlotSet::kEmpty) == 0);
}

// Kept plans: an equal filter over the unchanged index shares one plan; a
// filter differing in a value's kind, an operator or a threshold gets its
// own; and after any change to the index (an add, a remove, a clear) the
// plan is built again, so its candidates follow the records.
void test_plan_cache() {
  Records r;
  for (int i = 0; i < 40; ++i) r.add("{\"tag\": " + std::to_string(i % 4) + ", \"n\": " + std::to_string(i) + "}");
  hovra::PlanCache cache;
  auto candidates = [&](const Filter& filter) {
    std::shared_ptr<const QueryPlan> plan = cache.plan(filter, r.index, r.metadata.size());
    const std::vector<std::uint32_t>* list = plan->candidates().slots;
    return list ? SlotSet(list->begin(), list->end()) : SlotSet{};
  };
  Filter in = Filter::in("tag", {u(1), u(3)});
  auto first = cache.plan(in, r.index, r.metadata.size());
  CHECK(cache.plan(Filter::in("tag", {u(1), u(3)}), r.index, r.metadata.size()) == first);
  CHECK(cache.plan(Filter::in("tag", {u(1), f(3)}), r.index, r.metadata.size()) != first);
  CHECK(cache.plan(Filter::nin("tag", {u(1), u(3)}), r.index, r.metadata.size()) != first);
  CHECK(cache.plan(in, r.index, r.metadata.size() + 1) != first);
  Filter lt5 = Filter::compare(Op::Lt, "n", 5), lt6 = Filter::compare(Op::Lt, "n", 6);
  CHECK(hovra::same_filter(lt5, Filter::compare(Op::Lt, "n", 5)) && !hovra::same_filter(lt5, lt6));
  CHECK(hovra::filter_hash(lt5) == hovra::filter_hash(Filter::compare(Op::Lt, "n", 5)));
  CHECK(candidates(lt5).size() == 5 && candidates(lt6).size() == 6);
  r.add("{\"tag\": 3, \"n\": 1}");
  CHECK(cache.plan(in, r.index, r.metadata.size()) != first);
  CHECK(candidates(in) == r.matching(in) && candidates(lt5) == r.matching(lt5) && candidates(lt5).size() == 6);
  r.remove(1);
  CHECK(candidates(in) == r.matching(in) && candidates(lt5).size() == 5);
  r.index.clear();
  CHECK(candidates(in).empty());
}

}  // namespace

int main() {
  test_number_kinds_in_equality();
  test_absent_or_non_object_metadata();
  test_missing_field();
  test_comparisons();
  test_and_and_in();
  test_from_conditions();
  test_index_contents();
  test_zero_signs_share_an_entry();
  test_new_operators();
  test_dotted_fields();
  test_index_lists();
  test_planned_edge_cases();
  test_plan_shapes();
  test_random_plans_agree_with_the_evaluator();
  test_slot_set_against_a_reference();
  test_union_in_slot_order();
  test_plan_cache();
  return check::exit_code("test_filter");
}
