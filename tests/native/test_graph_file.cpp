// Tests of graph.hovra: the exact layout the writer produces, the round trip
// of a built index, the reader's error texts, its handling of counts and
// slots that the file cannot back, and the strict UTF-8 check of ids.
#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "check.h"
#include "core/base/bytes.h"
#include "core/base/file_io.h"
#include "core/storage/graph_file.h"
#include "core/vectors/distance.h"
#include "core/vectors/vector_rows.h"
#include "graph_bytes.h"
#include "scratch_dir.h"

using namespace hovra;

namespace {

const std::string kTruncated = "failed to fill whole buffer";

JsonValue json(const std::string& text) {
  JsonValue v;
  std::string error;
  if (!parse_json(text, v, error)) std::abort();
  return v;
}

// Writes the index and records the way save does and returns the file.
std::string write_file(const HnswIndex& index, const std::vector<GraphRecord>& records) {
  ScratchDir dir;
  FileWriter sink;
  if (!sink.open(dir.file("graph.tmp"), FileWriter::Mode::Truncate).ok()) std::abort();
  Status st = write_graph(index, sink);
  CHECK(st.ok());
  st = write_record_table(records, sink);
  CHECK(st.ok());
  CHECK(sink.close().ok());
  Result<std::string> bytes = read_file(dir.file("graph.tmp"));
  return bytes.ok() ? bytes.value() : std::string();
}

struct Parsed {
  std::string error;  // empty on success
  GraphLayout layout;
  std::vector<GraphRecord> records;
};

Parsed parse(std::string_view bytes) {
  Parsed p;
  std::size_t rest = 0;
  Result<GraphLayout> layout = read_graph_layout(bytes, rest);
  if (!layout.ok()) {
    CHECK(layout.error().kind() == ErrorKind::DamagedFile);
    p.error = layout.error().detail();
    return p;
  }
  p.layout = std::move(layout.value());
  Result<std::vector<GraphRecord>> records = read_record_table(bytes, rest, p.layout);
  if (!records.ok()) {
    CHECK(records.error().kind() == ErrorKind::DamagedFile);
    p.error = records.error().detail();
    return p;
  }
  p.records = std::move(records.value());
  return p;
}

std::string error_of(const GraphBytes& g) { return parse(g.bytes()).error; }

// An index built from a layout with a zeroed owned store.
std::unique_ptr<HnswIndex> index_from(GraphLayout layout) {
  std::size_t n = layout.node_count();
  VectorStore store(layout.dim);
  std::vector<float> zeros(layout.dim, 0.0f);
  for (std::size_t i = 0; i < n; ++i) store.append(zeros.data());
  return HnswIndex::from_layout(std::move(layout), std::move(store), std::vector<float>(n, 0.0f));
}

void test_empty_database_file() {
  HnswIndex index(4, Metric::Euclidean, 16, 200);
  std::string file = write_file(index, {});
  CHECK(file.size() == 49);
  GraphBytes want;
  want.dim = 4;
  want.metric = 1;
  CHECK(file == want.bytes());
  CHECK(file.substr(0, 4) == "GWSH" && file.substr(41, 4) == "ATEM");
  CHECK(file[12] == 1 && load_u32(reinterpret_cast<const unsigned char*>(file.data()) + 21) == kNoEntry);

  Parsed back = parse(file);
  CHECK_TEXT(back.error, "");
  CHECK(back.layout.dim == 4 && back.layout.metric == Metric::Euclidean);
  CHECK(back.layout.m == 16 && back.layout.ef_construction == 200);
  CHECK(back.layout.entry_point == kNoEntry && back.layout.max_level == 0);
  CHECK(back.layout.node_count() == 0 && back.layout.deleted.empty() && back.records.empty());
}

void test_one_record_file() {
  GraphBytes g;
  g.entry_point = 0;
  g.nodes = {{{}}};
  g.records = {{0, "a", ""}};
  Parsed parsed = parse(g.bytes());
  CHECK_TEXT(parsed.error, "");
  std::unique_ptr<HnswIndex> index = index_from(parsed.layout);
  std::string file = write_file(*index, {{0, "a", std::nullopt}});
  CHECK(file.size() == 70);
  CHECK(file == g.bytes());
}

void test_round_trip_of_built_index() {
  const std::size_t dim = 8;
  HnswIndex index(dim, Metric::DotProduct, 4, 40);
  std::mt19937 rng(7);
  std::normal_distribution<float> normal;
  std::vector<float> v(dim);
  for (int i = 0; i < 400; ++i) {
    for (float& x : v) x = normal(rng);
    index.insert(v.data(), dim);
  }
  for (std::uint32_t s : {3u, 17u, 250u, 399u}) index.mark_deleted(s);
  std::vector<GraphRecord> records;
  for (std::uint32_t s = 0; s < 400; ++s) {
    if (index.is_deleted(s)) continue;
    GraphRecord r{s, "id-" + std::to_string(s), std::nullopt};
    if (s % 3 == 0) r.metadata = json("{\"slot\":" + std::to_string(s) + ",\"name\":\"n\\u00e9\"}");
    records.push_back(r);
  }

  std::string file = write_file(index, records);
  CHECK(file.size() > 2 * FileWriter::kBufferSize);  // went through several buffers
  Parsed back = parse(file);
  CHECK_TEXT(back.error, "");
  const GraphLayout& l = back.layout;
  CHECK(l.dim == dim && l.metric == Metric::DotProduct && l.m == 4 && l.ef_construction == 40);
  CHECK(l.entry_point == index.entry_point() && l.max_level == index.max_level());
  CHECK(std::set<std::uint32_t>(l.deleted.begin(), l.deleted.end()) ==
        std::set<std::uint32_t>(index.deleted().begin(), index.deleted().end()));
  CHECK(l.node_count() == 400);
  bool lists_equal = l.node_count() == 400;
  bool some_upper_layer = false;
  std::vector<std::uint32_t> list;
  for (std::uint32_t s = 0; lists_equal && s < 400; ++s) {
    lists_equal = l.layer_count(s) == index.level(s) + 1;
    some_upper_layer |= l.layer_count(s) > 1;
    for (std::size_t layer = 0; lists_equal && layer < l.layer_count(s); ++layer) {
      index.copy_list(s, layer, list);
      lists_equal = l.list_copy(s, layer) == list;
    }
  }
  CHECK(lists_equal);
  CHECK(some_upper_layer);
  bool records_equal = back.records.size() == records.size();
  for (std::size_t i = 0; records_equal && i < records.size(); ++i)
    records_equal = back.records[i].slot == records[i].slot && back.records[i].id == records[i].id &&
                    back.records[i].metadata == records[i].metadata;
  CHECK(records_equal);

  // The derived values of a reloaded index.
  std::unique_ptr<HnswIndex> reloaded = index_from(back.layout);
  CHECK(reloaded->m_max0() == 8 && reloaded->live_count() == 396);
}

// A node linked apart from the others waits for the rows linked after it
// before its check (a wide search for its nearest); saved meanwhile, it is
// written as a fresh row, and the reopened index relinks it and makes the
// check once its fresh rows are linked: it is found by its own vector.
void test_apart_node_waiting_at_a_save() {
  const std::size_t dim = 16;
  HnswIndex index(dim, Metric::Euclidean, 8, 64);
  std::mt19937 rng(5);
  std::normal_distribution<float> normal;
  auto rows = [&](std::size_t n, float scale, float shift) {
    std::vector<float> out(n * dim);
    for (float& x : out) x = normal(rng) * scale + shift;
    return out;
  };
  std::vector<float> base = rows(2000, 1.0f, 0.0f);
  index.insert_batch(VectorRows::contiguous(base.data(), 2000, dim));
  std::vector<float> far = rows(1, 0.01f, 40.0f);
  std::vector<float> later = rows(300, 1.0f, 0.0f);
  std::uint32_t apart = index.store_fresh(far.data(), dim);
  index.store_fresh_batch(VectorRows::contiguous(later.data(), 300, dim));
  index.link_fresh(1);
  CHECK(index.fresh_count() == 300);
  const std::vector<std::uint32_t>& pending = index.apart_pending();
  CHECK(std::find(pending.begin(), pending.end(), apart) != pending.end());

  Parsed back = parse(write_file(index, {}));
  CHECK_TEXT(back.error, "");
  CHECK(back.layout.has_unlinked && back.layout.list(apart, 0).second == 0);
  std::size_t n = back.layout.node_count();
  VectorStore store(dim);
  std::vector<float> norms;
  for (std::uint32_t s = 0; s < n; ++s) {
    store.append(index.vector(s));
    norms.push_back(vector_norm(index.vector(s), dim));
  }
  std::unique_ptr<HnswIndex> reloaded = HnswIndex::from_layout(std::move(back.layout), std::move(store), norms);
  reloaded->adopt_unlinked();
  CHECK(reloaded->is_unlinked(apart) && reloaded->fresh_count() == 301);
  while (reloaded->fresh_count() > 0) reloaded->link_fresh(50);
  CHECK(reloaded->apart_pending().empty());
  std::vector<Hit> hits = reloaded->search(far.data(), dim, 1, 10);
  CHECK(!hits.empty() && hits[0].slot == apart);
}

void test_header_errors() {
  GraphBytes g = GraphBytes::sample();
  std::string valid = g.bytes();
  CHECK_TEXT(parse(valid.substr(0, 3)).error, kTruncated);
  CHECK_TEXT(parse("NOTGWS").error, "bad graph magic");
  CHECK_TEXT(parse(valid.substr(0, 4)).error, kTruncated);

  for (std::uint32_t version : {1u, 4u}) {  // 2 and 3 are read
    GraphBytes v = g;
    v.version = version;
    CHECK_TEXT(error_of(v), "unsupported graph version: " + std::to_string(version));
  }
  // Version 2 has no flags word; version 3 has one, with only the seal bit
  // known.
  GraphBytes v2 = g;
  v2.version = 2;
  CHECK_TEXT(error_of(v2), "");
  CHECK(read_graph_flags(v2.bytes()) == std::optional<std::uint32_t>(0));
  CHECK(read_graph_flags(valid) == std::optional<std::uint32_t>(kGraphSealed));
  GraphBytes unlinked = g;
  unlinked.flags = kGraphSealed | kGraphUnlinked;
  CHECK_TEXT(error_of(unlinked), "");
  GraphBytes unknown_flag = g;
  unknown_flag.flags = 16;  // bits 0 (sealed), 1 (unlinked rows), 2 (rows apart) and 3 (deltas) are known
  CHECK_TEXT(error_of(unknown_flag), "unsupported graph flags: 16");
  CHECK(!read_graph_flags("GWS").has_value());

  GraphBytes bad_metric = g;
  bad_metric.metric = 3;
  CHECK_TEXT(error_of(bad_metric), "unknown metric: 3");
  // The metric is judged before the rest of the header is needed.
  CHECK_TEXT(parse(bad_metric.bytes().substr(0, 13)).error, "unknown metric: 3");
  bad_metric.metric = 255;
  CHECK_TEXT(error_of(bad_metric), "unknown metric: 255");
  CHECK_TEXT(parse(valid.substr(0, 12)).error, kTruncated);
  CHECK_TEXT(parse(valid.substr(0, 13)).error, kTruncated);
}

void test_every_cut_is_a_truncation() {
  std::string valid = GraphBytes::sample().bytes();
  CHECK_TEXT(parse(valid).error, "");
  bool all_truncated = true;
  for (std::size_t n = 0; n < valid.size(); ++n) {
    std::string error = parse(std::string_view(valid).substr(0, n)).error;
    if (error != kTruncated) {
      all_truncated = false;
      std::fprintf(stderr, "    cut at %zu: \"%s\"\n", n, error.c_str());
    }
  }
  CHECK(all_truncated);
}

void test_deleted_slots() {
  GraphBytes g = GraphBytes::sample();
  g.deleted = {1, 1};
  Parsed p = parse(g.bytes());
  CHECK_TEXT(p.error, "");
  CHECK(p.layout.deleted == std::vector<std::uint32_t>{1});
  CHECK(index_from(p.layout)->live_count() == 2);

  g.deleted = {2, 1, 2};
  g.records = {{0, "zero", ""}};
  p = parse(g.bytes());
  CHECK_TEXT(p.error, "");
  CHECK((p.layout.deleted == std::vector<std::uint32_t>{2, 1}));
}

void test_record_table() {
  GraphBytes g = GraphBytes::sample();
  Parsed p = parse(g.bytes());
  CHECK_TEXT(p.error, "");
  CHECK(p.records.size() == 2);
  if (p.records.size() == 2) {
    CHECK(p.records[0].slot == 0 && p.records[0].id == "zero" && p.records[0].metadata == json("{\"a\":1}"));
    CHECK(p.records[1].slot == 2 && p.records[1].id == "two" && !p.records[1].metadata);
  }

  // Metadata that is not JSON loads as none; the record stays.
  GraphBytes brace = g;
  brace.records[0].metadata_text = "{";
  p = parse(brace.bytes());
  CHECK_TEXT(p.error, "");
  CHECK(p.records.size() == 2 && p.records[0].id == "zero" && p.records[0].slot == 0 && !p.records[0].metadata);
  brace.records[0].metadata_text = " {\"b\":[true]}\n";
  p = parse(brace.bytes());
  CHECK(p.records.size() == 2 && p.records[0].metadata == json("{\"b\":[true]}"));

  // Bytes after the last record are ignored.
  p = parse(g.bytes() + "trailing junk");
  CHECK_TEXT(p.error, "");
  CHECK(p.records.size() == 2);

  // The same id twice is the loader's business, not an error.
  GraphBytes twice = g;
  twice.records[1].id = "zero";
  CHECK_TEXT(error_of(twice), "");

  // Truncated inside an id.
  std::string cut = g.layout() + g.record_table().substr(0, 8 + 8 + 2);
  CHECK_TEXT(parse(cut).error, kTruncated);

  GraphBytes magic = g;
  magic.record_magic = 0x4154454D;  // "META"
  CHECK_TEXT(error_of(magic), "bad metadata section magic");
  CHECK_TEXT(parse(g.layout() + "ATE").error, kTruncated);
  CHECK_TEXT(parse(g.layout()).error, kTruncated);

  GraphBytes bad_id = g;
  bad_id.records[1].id = "tw\xff";
  CHECK_TEXT(error_of(bad_id), "invalid utf-8 sequence of 1 bytes from index 2");
  bad_id.records[1].id = "t\xe2\x82";
  CHECK_TEXT(error_of(bad_id), "incomplete utf-8 byte sequence from index 1");
}

void test_inconsistent_graphs_are_rejected() {
  struct Case {
    const char* what;
    void (*damage)(GraphBytes&);
  };
  const Case cases[] = {
      {"deleted slot at N", [](GraphBytes& g) { g.deleted = {3}; }},
      {"neighbour slot at N", [](GraphBytes& g) { g.nodes[1][0] = {0, 3}; }},
      {"upper neighbour past N", [](GraphBytes& g) { g.nodes[0][1] = {0xFFFFFFFF}; }},
      {"entry point at N", [](GraphBytes& g) { g.entry_point = 3; }},
      {"no entry point with nodes", [](GraphBytes& g) { g.entry_point = kNoEntry; }},
      {"max level below entry level", [](GraphBytes& g) { g.max_level = 0; }},
      {"max level above entry level", [](GraphBytes& g) { g.max_level = 2; }},
      {"node without layers", [](GraphBytes& g) { g.nodes[1].clear(); }},
      {"m of 1", [](GraphBytes& g) { g.m = 1; }},
      {"m of 0", [](GraphBytes& g) { g.m = 0; }},
      {"record slot at N", [](GraphBytes& g) { g.records[1].slot = 3; }},
      {"record on deleted slot", [](GraphBytes& g) { g.records[1].slot = 1; }},
      {"two records on one slot", [](GraphBytes& g) { g.records[1].slot = 0; }},
      {"entry point in empty graph",
       [](GraphBytes& g) {
         g = GraphBytes();
         g.entry_point = 0;
       }},
      {"max level in empty graph",
       [](GraphBytes& g) {
         g = GraphBytes();
         g.max_level = 1;
       }},
  };
  for (const Case& c : cases) {
    GraphBytes g = GraphBytes::sample();
    c.damage(g);
    std::string error = error_of(g);
    bool rejected = !error.empty() && error != kTruncated;
    if (!rejected) std::fprintf(stderr, "    %s: \"%s\"\n", c.what, error.c_str());
    CHECK(rejected);
  }
  // A neighbour list may name a node of lower level (an update of the entry
  // point can leave one) and a deleted node.
  GraphBytes g = GraphBytes::sample();
  g.nodes[0][1] = {1};
  CHECK_TEXT(error_of(g), "");
}

void test_counts_beyond_the_file() {
  GraphBytes g = GraphBytes::sample();
  g.node_count = 0xFFFFFFFFu;
  CHECK_TEXT(parse(g.layout()).error, kTruncated);

  std::string huge_deleted = GraphBytes().layout();
  huge_deleted[33] = huge_deleted[34] = huge_deleted[35] = huge_deleted[36] = '\xff';
  CHECK_TEXT(parse(huge_deleted).error, kTruncated);

  GraphBytes layers;
  layers.entry_point = 0;
  layers.nodes = {{{}}};
  std::string huge_layers = layers.bytes();
  huge_layers[41] = huge_layers[42] = huge_layers[43] = '\xff';
  CHECK_TEXT(parse(huge_layers).error, kTruncated);
  std::string huge_list = layers.bytes();
  huge_list[45] = huge_list[46] = huge_list[47] = huge_list[48] = '\xff';
  CHECK_TEXT(parse(huge_list).error, kTruncated);

  std::string huge_records = GraphBytes().bytes();
  huge_records[45] = huge_records[46] = huge_records[47] = huge_records[48] = '\xff';
  CHECK_TEXT(parse(huge_records).error, kTruncated);
}

void test_writer_reports_sink_errors() {
  HnswIndex index(2, Metric::Cosine, 16, 200);
  FileWriter closed;
  Status st = write_graph(index, closed);
  CHECK(!st.ok() && st.error().kind() == ErrorKind::Io);
  st = write_record_table({}, closed);
  CHECK(!st.ok() && st.error().kind() == ErrorKind::Io);

  FileWriter full;
  if (full.open("/dev/full", FileWriter::Mode::Truncate).ok()) {
    st = write_graph(index, full);
    CHECK(!st.ok() && st.error().kind() == ErrorKind::Io);
  }
}

void test_utf8_check() {
  struct Case {
    std::string bytes;
    std::string error;
  };
  const Case cases[] = {
      {"", ""},
      {"plain ascii", ""},
      {"\xc3\xa9\xe2\x82\xac\xf0\x9d\x84\x9e", ""},      // 2, 3 and 4 byte forms
      {"\xed\x9f\xbf\xee\x80\x80\xf4\x8f\xbf\xbf", ""},  // around the surrogates, U+10FFFF
      {"\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
      {"ab\xbf", "invalid utf-8 sequence of 1 bytes from index 2"},
      {"\xc0\x80", "invalid utf-8 sequence of 1 bytes from index 0"},      // overlong NUL
      {"\xc1\xbf", "invalid utf-8 sequence of 1 bytes from index 0"},      // overlong
      {"\xe0\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"},  // overlong 3-byte
      {"\xf0\x80\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
      {"x\xed\xa0\x80", "invalid utf-8 sequence of 1 bytes from index 1"},     // surrogate
      {"\xf4\x90\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"},  // above U+10FFFF
      {"\xf5\x80\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
      {"\xff", "invalid utf-8 sequence of 1 bytes from index 0"},
      {"\xc3"
       "A",
       "invalid utf-8 sequence of 1 bytes from index 0"},
      {"\xe2\x82"
       "A",
       "invalid utf-8 sequence of 2 bytes from index 0"},
      {"ok\xf0\x9d\x84"
       "A",
       "invalid utf-8 sequence of 3 bytes from index 2"},
      {"\xe0\x80", "invalid utf-8 sequence of 1 bytes from index 0"},  // bad even at the end
      {"ab\xc3", "incomplete utf-8 byte sequence from index 2"},
      {"\xe2\x82", "incomplete utf-8 byte sequence from index 0"},
      {"\xe0", "incomplete utf-8 byte sequence from index 0"},
      {"\xc3\xa9\xf0\x9d\x84", "incomplete utf-8 byte sequence from index 2"},
  };
  for (const Case& c : cases) CHECK_TEXT(utf8_error(c.bytes), c.error);
}

}  // namespace

int main() {
  test_empty_database_file();
  test_one_record_file();
  test_round_trip_of_built_index();
  test_apart_node_waiting_at_a_save();
  test_header_errors();
  test_every_cut_is_a_truncation();
  test_deleted_slots();
  test_record_table();
  test_inconsistent_graphs_are_rejected();
  test_counts_beyond_the_file();
  test_writer_reports_sink_errors();
  test_utf8_check();
  return check::exit_code("test_graph_file");
}
