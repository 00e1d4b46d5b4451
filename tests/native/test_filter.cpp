// Tests of the metadata filters: matches, the inverted metadata index and
// candidate_slots, including the combined rule a filtered query applies
// (the candidate set, when there is one, must hold the slot, and matches must
// be true).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <map>
#include <set>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "check.h"
#include "core/records/filter.h"
#include "core/records/json.h"

using hovra::candidate_slots;
using hovra::Filter;
using hovra::JsonValue;
using hovra::matches;
using hovra::MetadataIndex;
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
  // The slots that satisfy a filter: the candidate set (when answered) must
  // hold the slot and matches must be true.
  SlotSet satisfying(const Filter& filter) const {
    std::optional<SlotSet> candidates = candidate_slots(filter, index);
    SlotSet result;
    for (std::uint32_t slot = 0; slot < metadata.size(); ++slot) {
      if (candidates && !candidates->count(slot)) continue;
      if (matches(filter, metadata[slot] ? &*metadata[slot] : nullptr)) result.insert(slot);
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
  CHECK(is_match(Filter::eq("a", json("[1,{\"b\":null}]")), "{\"a\":[1,{\"b\":null}]}"));
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
  // Only top-level fields are looked at.
  CHECK(!is_match(Filter::eq("c", u(1)), "{\"b\":{\"c\":1}}"));
  CHECK(!is_match(Filter::eq("b.c", u(1)), "{\"b\":{\"c\":1}}"));
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
  CHECK(!index.has_field("n") && !index.has_field("a") && !index.has_field("o"));
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

void test_candidate_slots_eq_and_in() {
  Records r;
  MetadataIndex empty;
  CHECK(candidate_slots(Filter::eq("a", u(1)), empty) == SlotSet{});
  CHECK(candidate_slots(Filter::in("a", {u(1)}), empty) == SlotSet{});

  r.add("{\"a\":1,\"c\":\"x\"}");    // 0
  r.add("{\"a\":2,\"c\":\"y\"}");    // 1
  r.add("{\"a\":1.0,\"c\":\"x\"}");  // 2
  r.add("{\"a\":null}");             // 3
  r.add(std::nullopt);               // 4
  r.add("{\"b\":1}");                // 5

  auto eq_a1 = candidate_slots(Filter::eq("a", u(1)), r.index);
  CHECK(eq_a1 && *eq_a1 == slots({0}));
  CHECK(candidate_slots(Filter::eq("a", u(3)), r.index) == SlotSet{});
  CHECK(candidate_slots(Filter::eq("zz", u(1)), r.index) == SlotSet{});
  CHECK(candidate_slots(Filter::eq("a", JsonValue::null()), r.index) == SlotSet{});

  // The answer is an owned copy: changing the index afterwards does not touch it.
  auto eq_x = candidate_slots(Filter::eq("c", s("x")), r.index);
  r.remove(0);
  CHECK(eq_x && *eq_x == slots({0, 2}));
  CHECK(candidate_slots(Filter::eq("c", s("x")), r.index) == slots({2}));

  CHECK(candidate_slots(Filter::in("a", {u(2), f(1.0), u(9)}), r.index) == slots({1, 2}));
  CHECK(candidate_slots(Filter::in("a", {}), r.index) == SlotSet{});
  CHECK(candidate_slots(Filter::in("zz", {u(1)}), r.index) == SlotSet{});
  CHECK(candidate_slots(Filter::in("a", {JsonValue::null()}), r.index) == SlotSet{});

  for (Op op : {Op::Gt, Op::Gte, Op::Lt, Op::Lte}) CHECK(!candidate_slots(Filter::compare(op, "a", 0), r.index));
  CHECK(!candidate_slots(Filter::ne("a", u(1)), r.index));
  CHECK(!candidate_slots(Filter::ne("a", u(1)), empty));
}

void test_candidate_slots_and() {
  Records r;
  r.add("{\"a\":1,\"b\":\"x\"}");  // 0
  r.add("{\"a\":1,\"b\":\"y\"}");  // 1
  r.add("{\"a\":2,\"b\":\"x\"}");  // 2
  r.add("{\"a\":1,\"b\":\"x\"}");  // 3

  CHECK(candidate_slots(Filter::all_of({}), r.index) == SlotSet{});
  CHECK(candidate_slots(Filter::all_of({}), MetadataIndex()) == SlotSet{});
  CHECK(candidate_slots(Filter::all_of({Filter::eq("a", u(1)), Filter::eq("b", s("x"))}), r.index) == slots({0, 3}));
  CHECK(candidate_slots(Filter::all_of({Filter::eq("a", u(1)), Filter::in("b", {s("y"), s("x")})}), r.index) ==
        slots({0, 1, 3}));
  // Children without an answer are skipped; the others still narrow.
  CHECK(candidate_slots(Filter::all_of({Filter::ne("b", s("x")), Filter::eq("a", u(2))}), r.index) == slots({2}));
  CHECK(!candidate_slots(Filter::all_of({Filter::ne("b", s("x")), Filter::compare(Op::Gt, "a", 0)}), r.index));
  CHECK(!candidate_slots(Filter::all_of({Filter::all_of({Filter::ne("a", u(1))})}), r.index));
  // An empty answer anywhere empties the whole And.
  CHECK(candidate_slots(Filter::all_of({Filter::eq("a", u(7)), Filter::ne("b", s("x"))}), r.index) == SlotSet{});
  CHECK(candidate_slots(Filter::all_of({Filter::eq("a", u(1)), Filter::in("b", {})}), r.index) == SlotSet{});
  // A nested empty And answers with the empty set, so the outer one does too.
  CHECK(candidate_slots(Filter::all_of({Filter::eq("a", u(1)), Filter::all_of({})}), r.index) == SlotSet{});
  // Nested answering Ands intersect like any child.
  Filter nested = Filter::all_of(
      {Filter::all_of({Filter::eq("b", s("x")), Filter::ne("a", u(5))}), Filter::in("a", {u(1), u(2)})});
  CHECK(candidate_slots(nested, r.index) == slots({0, 2, 3}));
}

// The edge cases as a filtered query sees them (candidate set, then matches).
void test_combined_rule() {
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
  // Null, array and object values are never indexed, so equality with them
  // finds nothing even where matches alone would say yes.
  CHECK(r.satisfying(Filter::eq("a", JsonValue::null())) == SlotSet{});
  CHECK(r.satisfying(Filter::eq("a", json("[1]"))) == SlotSet{});
  CHECK(r.satisfying(Filter::in("a", {JsonValue::null(), u(1)})) == slots({0}));
  // Records without metadata satisfy nothing, not even a negation.
  CHECK(r.satisfying(Filter::ne("a", u(1))) == slots({1, 2, 4, 5, 6, 7, 8}));
  CHECK(r.satisfying(Filter::compare(Op::Lt, "a", 5)) == slots({0, 1}));
  CHECK(r.satisfying(Filter::compare(Op::Gt, "a", 1)) == SlotSet{});
  CHECK(r.satisfying(Filter::all_of({Filter::compare(Op::Gt, "a", 0), Filter::compare(Op::Lt, "a", 5)})) ==
        slots({0, 1}));
  CHECK(r.satisfying(Filter::in("a", {})) == SlotSet{});
  // An empty where_filter becomes an And without children: nothing.
  CHECK(r.satisfying(Filter::from_conditions({})) == SlotSet{});
  // Ne narrowed by an answering sibling.
  CHECK(r.satisfying(Filter::all_of({Filter::eq("a", u(1)), Filter::ne("a", f(1.0))})) == slots({0}));

  // After a delete the slot leaves every set, and emptied entries vanish.
  r.remove(7);
  CHECK(!r.index.has_field("flag") || r.index.lookup("flag", JsonValue::boolean(true)) == nullptr);
  CHECK(r.satisfying(Filter::eq("flag", JsonValue::boolean(true))) == SlotSet{});
  r.remove(8);
  CHECK(!r.index.has_field("flag"));
}

// Random records and updates: the index must always equal one rebuilt from
// the live metadata, and for scalar equality filters the candidate set must
// agree exactly with matches.
void test_random_index_consistency() {
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
                                       s("1"),
                                       JsonValue::null(),
                                       json("[1]"),
                                       json("{\"a\":1}")};
  const std::vector<std::string> fields = {"a", "b", "c"};
  auto random_metadata = [&]() -> std::optional<JsonValue> {
    if (rng() % 8 == 0) return std::nullopt;
    if (rng() % 10 == 0) return json("[1,2]");
    JsonValue::Object o;
    for (const std::string& field : fields) {
      if (rng() % 3) o[field] = pool[rng() % pool.size()];
    }
    return JsonValue::object(std::move(o));
  };
  auto random_scalar = [&]() { return pool[rng() % 10]; };

  const double thresholds[] = {-1.0, 0.0, -0.0, 1.0, 2.5, 3.0, INFINITY, -INFINITY, NAN};
  auto random_compare = [&](const std::string& field) {
    const Op ops[] = {Op::Gt, Op::Gte, Op::Lt, Op::Lte};
    return Filter::compare(ops[rng() % 4], field, thresholds[rng() % 9]);
  };

  Records r;
  int bad_index = 0, bad_eq = 0, bad_bound = 0;
  for (int step = 0; step < 3000; ++step) {
    if (r.metadata.empty() || rng() % 3) {
      auto m = random_metadata();
      r.metadata.push_back(m);
      auto slot = static_cast<std::uint32_t>(r.metadata.size() - 1);
      r.index.add(slot, r.metadata.back() ? &*r.metadata.back() : nullptr);
    } else {
      auto slot = static_cast<std::uint32_t>(rng() % r.metadata.size());
      r.remove(slot);
      if (rng() % 2) {  // an update: new metadata for the same slot
        r.metadata[slot] = random_metadata();
        r.index.add(slot, r.metadata[slot] ? &*r.metadata[slot] : nullptr);
      }
    }
    if (step % 100 != 99) continue;

    MetadataIndex rebuilt;
    for (std::uint32_t slot = 0; slot < r.metadata.size(); ++slot) {
      rebuilt.add(slot, r.metadata[slot] ? &*r.metadata[slot] : nullptr);
    }
    if (rebuilt.entry_count() != r.index.entry_count()) ++bad_index;
    for (const std::string& field : fields) {
      if (rebuilt.has_field(field) != r.index.has_field(field)) ++bad_index;
      for (std::size_t i = 0; i < pool.size(); ++i) {
        const SlotSet* a = rebuilt.lookup(field, pool[i]);
        const SlotSet* b = r.index.lookup(field, pool[i]);
        if ((a == nullptr) != (b == nullptr) || (a && *a != *b)) ++bad_index;
      }
    }
    for (int q = 0; q < 20; ++q) {
      const std::string& field = fields[rng() % fields.size()];
      std::vector<Filter> parts = {Filter::eq(field, random_scalar()),
                                   Filter::in(field, {random_scalar(), random_scalar()})};
      parts.push_back(Filter::all_of({parts[0], Filter::eq(fields[rng() % fields.size()], random_scalar())}));
      for (const Filter& filter : parts) {
        auto candidates = candidate_slots(filter, r.index);
        for (std::uint32_t slot = 0; slot < r.metadata.size(); ++slot) {
          bool by_index = candidates && candidates->count(slot);
          bool by_match = matches(filter, r.metadata[slot] ? &*r.metadata[slot] : nullptr);
          if (by_index != by_match) ++bad_eq;
        }
      }
      // Sizes known before a search: exact for equality, $in and ranges on
      // one field (whose slots the numeric index lists), never below the
      // truth for the rest.
      const std::size_t exact_kinds = parts.size() - 1;  // the And of two fields only bounds
      parts.push_back(random_compare(field));
      parts.push_back(Filter::all_of({random_compare(field), random_compare(field)}));
      parts.push_back(Filter::ne(field, random_scalar()));
      parts.push_back(Filter::all_of({random_compare(field), Filter::ne(fields[rng() % 3], random_scalar())}));
      for (std::size_t i = 0; i < parts.size(); ++i) {
        std::size_t truth = r.satisfying(parts[i]).size();
        std::size_t bound = hovra::match_bound(parts[i], r.index, r.metadata.size());
        bool exact = i < exact_kinds || i == exact_kinds + 1 || i == exact_kinds + 2;
        if (bound < truth || (exact && bound != truth)) ++bad_bound;
        auto range = hovra::narrowest_range(parts[i], r.index);
        if (range && i != parts.size() - 1) {
          std::vector<std::uint32_t> listed;
          r.index.numbers().collect(*range->field, range->range, listed);
          if (listed.size() != range->count || SlotSet(listed.begin(), listed.end()) != r.satisfying(parts[i]))
            ++bad_bound;
        }
      }
    }
  }
  CHECK(bad_index == 0);
  CHECK(bad_eq == 0);
  CHECK(bad_bound == 0);
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
  test_candidate_slots_eq_and_in();
  test_candidate_slots_and();
  test_combined_rule();
  test_random_index_consistency();
  test_slot_set_against_a_reference();
  return check::exit_code("test_filter");
}
