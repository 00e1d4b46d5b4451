// The filter planner: a Filter compiled into nodes over the metadata
// index's lists, their size estimates, the candidate list built from them
// (with the slot-list operations of slot_lists.cpp) and when the scans read
// a copy of the candidates' rows (the copy is candidate_rows.cpp's), and the
// set probes that test one record before its metadata is read. What these
// cost is in plan_costs.cpp.
#include "core/db/query_plan.h"

#include <algorithm>
#include <utility>

#include "core/db/slot_lists.h"

namespace hovra {

// ---------------------------------------------------------------------------
// Nodes and their estimates

struct QueryPlan::Node {
  enum class Kind { Sets, Range, And, Or, Not, Open };
  Kind kind = Kind::Open;
  // Sets: the records in one of these (disjoint) lists, or, negated, the
  // records with metadata in none of them.
  std::vector<const SlotSet*> sets;
  bool negate = false;
  // Sets: the lists are posting lists of `field` (an equality, $in, $ne or
  // $nin), so a negation may be listed from the field's other values.
  bool posting_lists = false;
  // Range: the field's numbers in the range.
  std::string field;
  NumberRange range = NumberRange::all();
  std::vector<std::unique_ptr<Node>> children;

  // What the index tells before any list is built.
  bool answered = false;  // a candidate set can be built
  bool exact = false;     // ... and it holds exactly the matching records
  std::size_t upper = 0;  // at most this many records match
  std::size_t lower = 0;  // at least this many do
  std::size_t cost = 0;   // slots read to build the candidate set
};

namespace {

using Node = QueryPlan::Node;  // NOLINT: the private struct, named for the helpers below

// Sets a leaf's estimates from the size of its lists.
void estimate_sets(Node& node, std::size_t objects) {
  std::size_t n = 0;
  for (const SlotSet* s : node.sets) n += s->size();
  n = std::min(n, objects);
  node.answered = node.exact = true;
  node.upper = node.lower = node.negate ? objects - n : n;
  node.cost = n;
}

void estimate_logical(Node& node, std::size_t objects) {
  auto& ch = node.children;
  switch (node.kind) {
    case Node::Kind::And: {
      node.answered = false;
      node.exact = true;
      node.upper = objects;
      node.cost = objects;
      for (const auto& c : ch) {
        node.answered = node.answered || c->answered;
        node.exact = node.exact && c->exact;
        node.upper = std::min(node.upper, c->upper);
        if (c->answered) node.cost = std::min(node.cost, c->cost);
      }
      node.lower = ch.size() == 1 ? ch.front()->lower : 0;
      break;
    }
    case Node::Kind::Or: {
      node.answered = node.exact = true;
      node.upper = node.lower = node.cost = 0;
      for (const auto& c : ch) {
        node.answered = node.answered && c->answered;
        node.exact = node.exact && c->exact;
        node.upper = std::min(objects, node.upper + c->upper);
        node.lower = std::max(node.lower, c->lower);
        node.cost += c->cost;
      }
      break;
    }
    case Node::Kind::Not: {
      const Node& c = *ch.front();
      node.answered = node.exact = c.answered && c.exact;
      node.upper = node.answered ? objects - std::min(objects, c.lower) : objects;
      node.lower = node.answered ? objects - std::min(objects, c.upper) : 0;
      node.cost = c.cost;
      break;
    }
    default:
      break;
  }
  if (!node.answered) {
    node.exact = false;
    node.lower = 0;
  }
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

bool all_scalar(const std::vector<JsonValue>& values) {
  return std::all_of(values.begin(), values.end(), [](const JsonValue& v) { return is_scalar(v.kind()); });
}

// The distinct lists of the scalar values among `values`.
std::vector<const SlotSet*> value_lists(const MetadataIndex& index, const std::string& field,
                                        const std::vector<JsonValue>& values) {
  return index.lookup_all(field, values);
}

}  // namespace

std::unique_ptr<Node> QueryPlan::compile(const Filter& filter) const {
  using Op = Filter::Op;
  const MetadataIndex& index = *index_;
  const std::size_t objects = index.objects().size();
  auto node = std::make_unique<Node>();
  auto sets = [&](std::vector<const SlotSet*> lists, bool negate) {
    node->kind = Node::Kind::Sets;
    node->sets = std::move(lists);
    node->negate = negate;
    estimate_sets(*node, objects);
  };
  auto postings = [&](const std::vector<JsonValue>& values, bool negate) {
    sets(value_lists(index, filter.field, values), negate);
    node->field = filter.field;
    node->posting_lists = true;
  };
  auto open = [&] {
    node->kind = Node::Kind::Open;
    node->upper = objects;
  };
  if (!filter.is_logical() && !is_top_level_name(filter.field)) {
    open();
    return node;
  }
  switch (filter.op) {
    case Op::Eq:
      postings({filter.value}, false);
      break;
    case Op::In:
      postings(filter.values, false);
      break;
    case Op::Ne:
      if (is_scalar(filter.value.kind())) postings({filter.value}, true);
      else open();  // records holding null are in no list
      break;
    case Op::Nin:
      if (all_scalar(filter.values)) postings(filter.values, true);
      else open();
      break;
    case Op::Exists: {
      std::vector<const SlotSet*> lists;
      if (const SlotSet* s = index.presence(filter.field)) lists.push_back(s);
      sets(std::move(lists), !filter.exists);
      break;
    }
    case Op::Contains: {
      std::vector<const SlotSet*> lists;
      if (const SlotSet* s = index.elements(filter.field, filter.value)) lists.push_back(s);
      if (filter.value.kind() == JsonValue::Kind::String) {
        const std::string& part = filter.value.as_string();
        index.for_each_string(filter.field, [&](std::string_view text, const SlotSet& s) {
          if (text.find(part) != std::string_view::npos) lists.push_back(&s);
        });
      }
      sets(std::move(lists), false);
      break;
    }
    case Op::Gt:
    case Op::Gte:
    case Op::Lt:
    case Op::Lte:
      node->kind = Node::Kind::Range;
      node->field = filter.field;
      narrow(node->range, filter);
      node->upper = node->lower = node->cost = index.numbers().count(node->field, node->range);
      node->answered = node->exact = true;
      break;
    case Op::Nothing:
      sets({}, false);
      break;
    case Op::And: {
      node->kind = Node::Kind::And;
      // Comparisons on one top-level field merge into one range.
      std::vector<bool> merged(filter.children.size(), false);
      for (std::size_t i = 0; i < filter.children.size(); ++i) {
        const Filter& c = filter.children[i];
        if (merged[i]) continue;
        if (!is_comparison(c.op) || !is_top_level_name(c.field)) {
          node->children.push_back(compile(c));
          continue;
        }
        auto range = std::make_unique<Node>();
        range->kind = Node::Kind::Range;
        range->field = c.field;
        for (std::size_t j = i; j < filter.children.size(); ++j) {
          const Filter& d = filter.children[j];
          if (is_comparison(d.op) && d.field == c.field) {
            narrow(range->range, d);
            merged[j] = true;
          }
        }
        range->upper = range->lower = range->cost = index.numbers().count(range->field, range->range);
        range->answered = range->exact = true;
        node->children.push_back(std::move(range));
      }
      if (node->children.empty()) {  // an And without conditions holds for every record with metadata
        node->kind = Node::Kind::Sets;
        sets({}, true);
        break;
      }
      estimate_logical(*node, objects);
      break;
    }
    case Op::Or:
      node->kind = Node::Kind::Or;
      for (const Filter& c : filter.children) node->children.push_back(compile(c));
      estimate_logical(*node, objects);
      break;
    case Op::Not: {
      if (filter.children.empty()) {
        sets({}, true);
        break;
      }
      std::unique_ptr<Node> child = compile(filter.children.front());
      if (child->kind == Node::Kind::Sets) {  // a negated list stays a list
        child->negate = !child->negate;
        estimate_sets(*child, objects);
        return child;
      }
      node->kind = Node::Kind::Not;
      node->children.push_back(std::move(child));
      estimate_logical(*node, objects);
      break;
    }
  }
  return node;
}

// ---------------------------------------------------------------------------
// Candidate lists

namespace {

using Slots = std::vector<std::uint32_t>;

// A condition of an And is applied to the list built so far when building
// its own list costs at most this many times the list's size (plus a
// little); otherwise the evaluator tests it on the remaining records.
constexpr std::size_t kApplyFactor = 8;
constexpr std::size_t kApplySlack = 256;

struct Listed {
  SlotList list;
  bool exact = true;
};

// Whether a negation of posting lists is cheaper listed from the field's
// other values than as a complement: possible when every record with
// metadata holds a scalar at the field (none is left without a list), and
// cheaper when the other values' lists are short against the lists left
// out plus the pass over every record the complement takes.
bool list_other_values(const Node& node, const MetadataIndex& index) {
  if (!node.negate || !node.posting_lists) return false;
  const std::size_t objects = index.objects().size();
  if (index.scalar_count(node.field) != objects) return false;
  std::size_t left_out = 0;
  for (const SlotSet* s : node.sets) left_out += s->size();
  std::size_t others = objects - std::min(objects, left_out);
  return others + index.value_count(node.field) < left_out + objects;
}

// The posting lists of the field's values other than the node's, in one
// list (unsorted).
void collect_other_values(const Node& node, const MetadataIndex& index, std::vector<std::uint32_t>& out) {
  std::vector<const SlotSet*> left_out(node.sets);
  std::sort(left_out.begin(), left_out.end());
  index.for_each_value_list(node.field, [&](const SlotSet& s) {
    if (!std::binary_search(left_out.begin(), left_out.end(), &s)) out.insert(out.end(), s.begin(), s.end());
  });
}

Listed build(const Node& node, const MetadataIndex& index, std::size_t slot_count) {
  const std::size_t objects = index.objects().size();
  switch (node.kind) {
    case Node::Kind::Sets: {
      Listed out;
      if (list_other_values(node, index)) {
        collect_other_values(node, index, out.list.slots);
        put_in_slot_order(out.list.slots, slot_count);
      } else {
        out.list.complement = node.negate;
        union_in_slot_order(node.sets, slot_count, out.list.slots);
      }
      return out;
    }
    case Node::Kind::Range: {
      Listed out;
      index.numbers().collect(node.field, node.range, out.list.slots);
      put_in_slot_order(out.list.slots, slot_count);
      return out;
    }
    case Node::Kind::And: {
      std::vector<const Node*> order;
      for (const auto& c : node.children)
        if (c->answered) order.push_back(c.get());
      std::stable_sort(order.begin(), order.end(), [](const Node* a, const Node* b) { return a->upper < b->upper; });
      Listed out = build(*order.front(), index, slot_count);
      out.exact = out.exact && order.size() == node.children.size();
      for (std::size_t i = 1; i < order.size(); ++i) {
        if (order[i]->cost > kApplyFactor * list_size(out.list, objects) + kApplySlack) {
          out.exact = false;
          continue;
        }
        Listed next = build(*order[i], index, slot_count);
        out.list = intersect(out.list, next.list);
        out.exact = out.exact && next.exact;
      }
      return out;
    }
    case Node::Kind::Or: {
      Listed out = build(*node.children.front(), index, slot_count);
      for (std::size_t i = 1; i < node.children.size(); ++i) {
        Listed next = build(*node.children[i], index, slot_count);
        out.list = unite(out.list, next.list);
        out.exact = out.exact && next.exact;
      }
      return out;
    }
    case Node::Kind::Not: {
      Listed out = build(*node.children.front(), index, slot_count);
      out.list.complement = !out.list.complement;
      return out;
    }
    case Node::Kind::Open:
      break;
  }
  return {};
}

}  // namespace

QueryPlan::QueryPlan(const Filter& filter, const MetadataIndex& index, std::size_t slot_count)
    : filter_(&filter), index_(&index), slot_count_(slot_count) {
  root_ = compile(filter);
  answered_ = root_->answered;
  bound_ = root_->upper;
  add_probes(filter);
  scan_tests_ = !answered_ || !root_->exact;
  test_cost_ = filter_test_cost(sets_probed(), probes_decide_, filter);
}

QueryPlan::~QueryPlan() = default;

QueryPlan::Candidates QueryPlan::candidates() const {
  if (!answered_) return {};
  if (!listed_.load(std::memory_order_acquire)) {
    std::lock_guard<std::mutex> guard(list_mutex_);
    if (!listed_.load(std::memory_order_relaxed)) {
      Listed built = build(*root_, *index_, slot_count_);
      if (built.list.complement) {
        // Every record with metadata but the listed ones, ascending.
        const Slots& out = built.list.slots;
        auto skip = out.begin();
        index_->objects().for_each([&](std::uint32_t slot) {
          while (skip != out.end() && *skip < slot) ++skip;
          if (skip != out.end() && *skip == slot) return;
          if (slot < slot_count_) list_.push_back(slot);
        });
      } else {
        list_ = std::move(built.list.slots);
      }
      list_exact_ = built.exact;
      listed_.store(true, std::memory_order_release);
    }
  }
  return {&list_, list_exact_};
}

// ---------------------------------------------------------------------------
// Copied rows

bool QueryPlan::copies_rows(std::size_t dim, std::size_t store_rows) const {
  if (!answered_ || scan_tests_) return false;
  if (listed_.load(std::memory_order_acquire))
    return !list_.empty() &&
           worth_copying(list_.size(), std::size_t(list_.back() - list_.front()) + 1, store_rows, dim);
  return worth_copying(bound_, store_rows, store_rows, dim);
}

const float* QueryPlan::copied_rows(std::uint64_t rows_version, std::size_t dim, std::size_t store_rows,
                                    FunctionRef<const float*(std::uint32_t)> row_of) const {
  if (rows_.holds(rows_version)) return rows_.data();
  if (rows_.first_scan()) return nullptr;  // a filter searched once
  if (!listed_.load(std::memory_order_acquire) || list_.empty()) return nullptr;
  if (!worth_copying(list_.size(), std::size_t(list_.back() - list_.front()) + 1, store_rows, dim)) return nullptr;
  return rows_.copy(list_, rows_version, dim, row_of);
}

// ---------------------------------------------------------------------------
// Probes

namespace {

// $in lists longer than this are left to the evaluator: a probe would test
// every list on every record.
constexpr std::size_t kMaxProbeLists = 32;

}  // namespace

void QueryPlan::add_probes(const Filter& filter) {
  using Op = Filter::Op;
  const MetadataIndex& index = *index_;
  auto probe_of = [&](const Filter& f, Probe& out) {
    if (f.is_logical() || !is_top_level_name(f.field)) return false;
    switch (f.op) {
      case Op::Eq:
      case Op::In:
        if (f.values.size() > kMaxProbeLists) return false;
        out.any_of = value_lists(index, f.field, f.op == Op::Eq ? std::vector<JsonValue>{f.value} : f.values);
        out.negate = false;
        return true;
      case Op::Ne:
      case Op::Nin:
        if (f.values.size() > kMaxProbeLists) return false;
        if (f.op == Op::Ne ? !is_scalar(f.value.kind()) : !all_scalar(f.values)) return false;
        out.any_of = value_lists(index, f.field, f.op == Op::Ne ? std::vector<JsonValue>{f.value} : f.values);
        out.negate = true;
        return true;
      case Op::Exists:
        out.any_of.clear();
        if (const SlotSet* s = index.presence(f.field)) out.any_of.push_back(s);
        out.negate = !f.exists;
        return true;
      default:
        return false;
    }
  };
  std::vector<const Filter*> conditions;
  if (filter.op == Op::And && !filter.children.empty()) {
    for (const Filter& c : filter.children) conditions.push_back(&c);
  } else {
    conditions.push_back(&filter);
  }
  probes_decide_ = true;
  for (const Filter* c : conditions) {
    Probe probe;
    if (!probe_of(*c, probe)) {
      probes_decide_ = false;
      continue;
    }
    probes_need_object_ = probes_need_object_ || probe.negate;
    probes_.push_back(std::move(probe));
  }
}

std::size_t QueryPlan::sets_probed() const {
  std::size_t sets = probes_need_object_ ? 1 : 0;
  for (const Probe& probe : probes_) sets += std::max<std::size_t>(probe.any_of.size(), 1);
  return sets;
}

bool QueryPlan::passes_probes(std::uint32_t slot) const {
  if (probes_need_object_ && !index_->objects().test(slot)) return false;
  for (const Probe& probe : probes_) {
    bool in = false;
    for (const SlotSet* s : probe.any_of)
      if (s->count(slot) != 0) {
        in = true;
        break;
      }
    if (in == probe.negate) return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Description

namespace {

std::string describe_node(const Node& node) {
  switch (node.kind) {
    case Node::Kind::Sets:
      if (node.sets.empty()) return node.negate ? "every record with metadata" : "no record";
      return std::string(node.negate ? "all but " : "") + std::to_string(node.sets.size()) +
             (node.sets.size() == 1 ? " list" : " lists");
    case Node::Kind::Range:
      return "range on '" + node.field + "'";
    case Node::Kind::Open:
      return "evaluated";
    case Node::Kind::Not:
      return "not(" + describe_node(*node.children.front()) + ")";
    default: {
      std::string text = node.kind == Node::Kind::And ? "and(" : "or(";
      for (std::size_t i = 0; i < node.children.size(); ++i)
        text += (i ? ", " : "") + describe_node(*node.children[i]);
      return text + ")";
    }
  }
}

}  // namespace

std::string QueryPlan::describe() const { return describe_node(*root_); }

// ---------------------------------------------------------------------------
// Memory

namespace {

std::size_t node_bytes(const Node& node) {
  std::size_t bytes = sizeof(Node) + node.sets.capacity() * sizeof(const SlotSet*) + node.field.capacity() +
                      node.children.capacity() * sizeof(std::unique_ptr<Node>);
  for (const auto& child : node.children) bytes += node_bytes(*child);
  return bytes;
}

}  // namespace

std::size_t QueryPlan::memory_bytes() const {
  std::size_t bytes = sizeof(QueryPlan) + node_bytes(*root_) + probes_.capacity() * sizeof(Probe);
  for (const Probe& p : probes_) bytes += p.any_of.capacity() * sizeof(const SlotSet*);
  // The list is not touched again once listed_ is set.
  if (listed_.load(std::memory_order_acquire)) bytes += list_.capacity() * sizeof(std::uint32_t);
  return bytes + rows_.bytes();
}

}  // namespace hovra
