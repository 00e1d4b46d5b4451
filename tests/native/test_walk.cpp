// The layer walks on graphs built by hand: greedy descent, the beam search
// with and without an admission rule, a node passed over, list locks, the
// visited marks' generations, NaN distances, stale upper-layer members, and
// the full-precision walk distances over long lists.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <random>
#include <set>
#include <vector>

#include "check.h"
#include "core/index/walk.h"

using namespace hovra;

namespace {

using Point = std::array<float, 2>;

// Squared distance from a query to points of the plane; counts how often
// each slot is measured. nan_at: a slot measured as NaN.
struct PointDistance {
  const std::vector<Point>* points;
  Point q;
  mutable std::vector<int>* measured = nullptr;
  std::uint32_t nan_at = kNoEntry;
  float operator()(std::uint32_t s) const {
    if (measured) ++(*measured)[s];
    if (s == nan_at) return std::nanf("");
    float dx = (*points)[s][0] - q[0], dy = (*points)[s][1] - q[1];
    return dx * dx + dy * dy;
  }
  void prefetch(std::uint32_t) const {}
  void prefetch_first(std::uint32_t) const {}
  std::size_t ahead() const { return 1; }
};

// A side x side grid of points, each linked on layer 0 to its four
// neighbours; every node listed in `upper` also has layer 1, linked to the
// other upper nodes.
struct Grid {
  std::vector<Point> points;
  Graph graph{4};
  Grid(std::size_t side, const std::set<std::uint32_t>& upper = {}) {
    NodeTable table;
    for (std::size_t y = 0; y < side; ++y)
      for (std::size_t x = 0; x < side; ++x) {
        auto s = static_cast<std::uint32_t>(y * side + x);
        points.push_back({float(x), float(y)});
        std::vector<std::vector<std::uint32_t>> lists(1);
        if (x > 0) lists[0].push_back(s - 1);
        if (x + 1 < side) lists[0].push_back(s + 1);
        if (y > 0) lists[0].push_back(static_cast<std::uint32_t>(s - side));
        if (y + 1 < side) lists[0].push_back(static_cast<std::uint32_t>(s + side));
        if (upper.count(s)) {
          lists.emplace_back();
          for (std::uint32_t o : upper)
            if (o != s) lists[1].push_back(o);
        }
        table.add_node(lists);
      }
    std::uint32_t entry = upper.empty() ? 0 : *upper.begin();
    graph.load(table, entry, upper.empty() ? 0 : 1);
  }
  PointDistance to(float x, float y) const { return PointDistance{&points, {x, y}}; }
};

// The n nearest grid points to (x, y) by brute force, ascending.
std::vector<std::uint32_t> nearest(const Grid& g, float x, float y, std::size_t n) {
  PointDistance d = g.to(x, y);
  std::vector<Hit> all;
  for (std::uint32_t s = 0; s < g.points.size(); ++s) all.push_back({s, d(s)});
  std::sort(all.begin(), all.end(), hit_before);
  std::vector<std::uint32_t> out;
  for (std::size_t i = 0; i < n; ++i) out.push_back(all[i].slot);
  return out;
}

std::vector<std::uint32_t> slots_of(const std::vector<Hit>& hits) {
  std::vector<std::uint32_t> out;
  for (const Hit& h : hits) out.push_back(h.slot);
  return out;
}

bool ascending(const std::vector<Hit>& hits) { return std::is_sorted(hits.begin(), hits.end(), HitCloser()); }

// Greedy descent follows decreasing distance to the closest node (the grid
// has no other local minimum) and stops at once on a node without the layer.
void greedy_descent() {
  Grid g(20, {0, 399, 210});
  WalkScratch ws;
  CHECK(greedy_closest<false>(g.graph, g.to(13.2f, 6.9f), ws, 0, 0) == 7 * 20 + 13);
  CHECK(greedy_closest<true>(g.graph, g.to(13.2f, 6.9f), ws, 0, 0) == 7 * 20 + 13);
  CHECK(greedy_closest<false>(g.graph, g.to(19.0f, 19.0f), ws, 0, 1) == 399);
  CHECK(greedy_closest<false>(g.graph, g.to(19.0f, 19.0f), ws, 5, 1) == 5);
  // A skipped node is never moved to, even when it is the closest.
  CHECK(greedy_closest<false>(g.graph, g.to(10.0f, 10.0f), ws, 0, 1, 210) != 210);
}

// On the grid the beam search from a far corner finds exactly the ef
// nearest points, in ascending distance, measuring every node at most once;
// the locked walk gives the same answer.
void beam_search() {
  Grid g(20);
  WalkScratch ws;
  std::vector<int> measured(g.points.size(), 0);
  PointDistance d = g.to(7.3f, 12.6f);
  d.measured = &measured;
  AdmitAll all;
  std::vector<Hit> w = search_layer<false>(g.graph, d, ws, 0, 10, 0, all);
  CHECK(slots_of(w) == nearest(g, 7.3f, 12.6f, 10));
  CHECK(ascending(w));
  CHECK(*std::max_element(measured.begin(), measured.end()) == 1);
  std::vector<Hit> locked = search_layer<true>(g.graph, g.to(7.3f, 12.6f), ws, 0, 10, 0, all);
  CHECK(slots_of(locked) == slots_of(w));
  // ef above the node count returns every node.
  CHECK(search_layer<false>(g.graph, g.to(1.0f, 1.0f), ws, 399, 1000, 0, all).size() == 400);
}

// Deleted slots and slots failing the filter stay out of the beam but are
// walked through: a wall of deleted rows between the entry and the query
// does not stop the walk. The walk gives up past its limit of measured
// nodes, with nothing returned.
void admission() {
  Grid g(20);
  WalkScratch ws;
  std::vector<std::uint8_t> dead(400, 0);
  for (std::uint32_t s = 20; s < 360; ++s) dead[s] = 1;  // rows 1..17 deleted
  auto odd = [](std::uint32_t s) { return s % 2 == 1; };
  FunctionRef<bool(std::uint32_t)> pred(odd);
  Admissible admit{dead.data(), &pred, 400};
  std::vector<Hit> w = search_layer<false>(g.graph, g.to(10.0f, 19.0f), ws, 0, 5, 0, admit);
  CHECK(!admit.gave_up);
  CHECK(w.size() == 5 && ascending(w));
  for (const Hit& h : w) CHECK(h.slot >= 360 && h.slot % 2 == 1);
  Admissible dead_only{dead.data(), nullptr, 400};
  CHECK(slots_of(search_layer<false>(g.graph, g.to(10.2f, 18.7f), ws, 0, 3, 0, dead_only)) ==
        nearest(g, 10.2f, 18.7f, 3));

  Admissible limited{dead.data(), nullptr, 30};
  CHECK(search_layer<false>(g.graph, g.to(10.0f, 19.0f), ws, 0, 5, 0, limited).empty());
  CHECK(limited.gave_up);

  // The budget counts the slots tested as well as the nodes measured: the
  // walk that fits its budget above gives up once each test costs more.
  CHECK(admit.spent == admit.measured && admit.tested > 0);
  Admissible dear{dead.data(), &pred, admit.measured + admit.tested / 2};
  CHECK(search_layer<false>(g.graph, g.to(10.0f, 19.0f), ws, 0, 5, 0, dear).size() == 5 && !dear.gave_up);
  dear.test_cost = 1;
  CHECK(search_layer<false>(g.graph, g.to(10.0f, 19.0f), ws, 0, 5, 0, dear).empty());
  CHECK(dear.gave_up && dear.spent > dear.budget && dear.measured < admit.measured);
}

// A skipped node is passed over as if absent: on a chain it cuts off the
// nodes behind it, and neither it nor they come back.
void skipped_node() {
  std::vector<Point> points;
  NodeTable table;
  for (std::uint32_t s = 0; s < 10; ++s) {
    points.push_back({float(s), 0.0f});
    std::vector<std::uint32_t> list;
    if (s > 0) list.push_back(s - 1);
    if (s < 9) list.push_back(s + 1);
    table.add_node({list});
  }
  Graph graph(4);
  graph.load(table, 0, 0);
  WalkScratch ws;
  AdmitAll all;
  std::vector<Hit> w = search_layer<false>(graph, PointDistance{&points, {9.0f, 0.0f}}, ws, 0, 10, 0, all, 4);
  CHECK(slots_of(w) == (std::vector<std::uint32_t>{3, 2, 1, 0}));
}

// The visited marks' generation counter wraps after 65,535 walks; walks
// after the wrap still see every node as unvisited at their start.
void many_walks() {
  Grid g(4);
  WalkScratch ws;
  AdmitAll all;
  bool same = true;
  std::vector<std::uint32_t> want = nearest(g, 2.3f, 1.2f, 16);
  for (int i = 0; i < 70000; ++i) {
    std::vector<Hit> w =
        search_layer<false>(g.graph, g.to(2.3f, 1.2f), ws, static_cast<std::uint32_t>(i % 16), 16, 0, all);
    same = same && slots_of(w) == want;
  }
  CHECK(same);
}

// A slot measured as NaN sorts after every number (the heaps' order is
// undefined around it, so the beam may end early, but never out of order).
void nan_distance() {
  Grid g(5);
  WalkScratch ws;
  AdmitAll all;
  PointDistance d = g.to(0.0f, 0.0f);
  d.nan_at = 1;
  std::vector<Hit> w = search_layer<false>(g.graph, d, ws, 0, 25, 0, all);
  CHECK(w.size() >= 2 && ascending(w));
  CHECK(!w.empty() && w.back().slot == 1 && std::isnan(w.back().distance));
}

// A layer-1 list may still hold a node that has since lost its layer 1 (an
// updated entry point hands its upper layers over): the walk measures it
// but never reads its missing list.
void stale_upper_member() {
  std::vector<Point> points{{0, 0}, {5, 0}, {9, 0}};
  NodeTable table;
  table.add_node({{1}, {1, 2}});
  table.add_node({{0, 2}, {0}});
  table.add_node({{1}});  // level 0, yet listed on layer 1 by node 0
  Graph graph(4);
  graph.load(table, 0, 1);
  WalkScratch ws;
  AdmitAll all;
  std::vector<Hit> w = search_layer<false>(graph, PointDistance{&points, {9.0f, 0.0f}}, ws, 0, 3, 1, all);
  CHECK(slots_of(w) == (std::vector<std::uint32_t>{2, 1, 0}));
  CHECK(greedy_closest<false>(graph, PointDistance{&points, {9.0f, 0.0f}}, ws, 0, 1) == 2);
}

// The full-precision walk distances over rows, on a graph whose every node
// lists all others (lists longer than the flat layer-0 room): the beam is
// the exact nearest by the metric's distance, and the walk's values lie
// within rounding of it.
void row_distances() {
  constexpr std::size_t n = 40, dim = 24;
  std::mt19937 rng(5);
  std::normal_distribution<float> nd(0.0f, 1.0f);
  std::vector<float> rows(n * dim), norms(n), query(dim);
  for (float& v : rows) v = nd(rng);
  for (float& v : query) v = nd(rng);
  for (std::size_t s = 0; s < n; ++s) norms[s] = vector_norm(rows.data() + s * dim, dim);
  NodeTable table;
  for (std::uint32_t s = 0; s < n; ++s) {
    std::vector<std::uint32_t> list;
    for (std::uint32_t o = 0; o < n; ++o)
      if (o != s) list.push_back(o);
    table.add_node({list});
  }
  Graph graph(4);
  graph.load(table, 0, 0);
  CHECK(graph.items(7, 0).size == n - 1);
  WalkScratch ws;
  AdmitAll all;
  auto check_metric = [&](Metric metric, const auto& dist) {
    std::vector<Hit> w = search_layer<false>(graph, dist, ws, 3, 8, 0, all);
    std::vector<Hit> exact;
    for (std::uint32_t s = 0; s < n; ++s)
      exact.push_back({s, distance(query.data(), rows.data() + s * dim, dim, metric)});
    std::sort(exact.begin(), exact.end(), hit_before);
    CHECK(w.size() == 8);
    for (std::size_t i = 0; i < w.size() && i < 8; ++i) {
      CHECK(w[i].slot == exact[i].slot);
      CHECK(std::fabs(w[i].distance - exact[i].distance) <= 1e-4f * (1.0f + std::fabs(exact[i].distance)));
    }
  };
  const float* r = rows.data();
  check_metric(Metric::Euclidean, L2WalkDistance(r, dim, query.data()));
  check_metric(Metric::Cosine,
               CosineWalkDistance(r, dim, norms.data(), query.data(), vector_norm(query.data(), dim)));
  check_metric(Metric::DotProduct, ExactDistance(r, dim, Metric::DotProduct, query.data()));
}

}  // namespace

int main() {
  greedy_descent();
  beam_search();
  admission();
  skipped_node();
  many_walks();
  nan_distance();
  stale_upper_member();
  row_distances();
  return check::exit_code("test_walk");
}
