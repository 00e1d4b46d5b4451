// Damaged-input tests of the three file readers: the graph file (layout and
// record table), the write-ahead log and the vector files are fed every
// truncation and every single-bit flip of valid files, random mutations and
// random bytes. Whatever they accept must hold together; nothing may crash or
// read out of bounds (run under AddressSanitizer and UBSan). Deterministic:
// the generator has a fixed seed.
#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "check.h"
#include "core/base/bytes.h"
#include "core/base/file_io.h"
#include "core/base/mapped_file.h"
#include "core/base/utf8.h"
#include "core/storage/graph_file.h"
#include "core/storage/vector_files.h"
#include "core/storage/wal.h"
#include "core/storage/wal_scan.h"
#include "graph_bytes.h"
#include "scratch_dir.h"

using namespace hovra;

namespace {

std::mt19937_64 rng(20240611);

std::size_t below(std::size_t n) { return n == 0 ? 0 : static_cast<std::size_t>(rng() % n); }

std::string random_bytes(std::size_t n) {
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

// Overwrites one to four spots with values that tend to matter in these
// formats: small counts, all ones, random bytes.
std::string mutate(std::string s) {
  if (s.empty()) return s;
  std::size_t spots = 1 + below(4);
  for (std::size_t i = 0; i < spots; ++i) {
    std::size_t at = below(s.size());
    switch (below(4)) {
      case 0:
        s[at] = static_cast<char>(rng());
        break;
      case 1:
        s[at] = static_cast<char>(below(4));
        break;
      case 2:
        for (std::size_t k = at; k < at + 4 && k < s.size(); ++k) s[k] = '\xff';
        break;
      default:
        s.erase(at, 1 + below(8));
        if (s.empty()) return s;
    }
  }
  return s;
}

template <class Visit>
void every_damage(const std::string& valid, Visit visit) {
  for (std::size_t n = 0; n < valid.size(); ++n) visit(std::string_view(valid).substr(0, n));
  std::string flipped = valid;
  for (std::size_t i = 0; i < valid.size(); ++i) {
    for (int bit = 0; bit < 8; ++bit) {
      flipped[i] = static_cast<char>(valid[i] ^ (1 << bit));
      visit(flipped);
    }
    flipped[i] = valid[i];
  }
  for (int i = 0; i < 4000; ++i) visit(mutate(valid));
}

// ---- graph file ----

std::size_t graph_accepted = 0;
std::size_t graph_rejected = 0;
// Outcomes that break a promise of the readers; each test expects none.
std::size_t unsound = 0;

void expect(bool ok, const char* what) {
  if (ok) return;
  if (unsound++ < 10) std::fprintf(stderr, "    unsound: %s\n", what);
}

// What an accepted graph file promises to the code that builds the index.
bool graph_holds_together(const GraphLayout& layout, const std::vector<GraphRecord>& records) {
  std::size_t n = layout.node_count();
  if (layout.m < 2) return false;
  if (n == 0) return layout.entry_point == kNoEntry && layout.max_level == 0 && records.empty();
  if (layout.entry_point >= n || layout.layer_count(layout.entry_point) != layout.max_level + 1) return false;
  std::vector<char> state(n, 0);
  for (std::uint32_t d : layout.deleted) {
    if (d >= n || state[d]) return false;
    state[d] = 1;
  }
  for (std::size_t node = 0; node < n; ++node) {
    if (layout.layer_count(node) == 0) return false;
    for (std::size_t l = 0; l < layout.layer_count(node); ++l)
      for (std::uint32_t s : layout.list_copy(node, l))
        if (s >= n) return false;
  }
  for (const GraphRecord& r : records) {
    if (r.slot >= n || state[r.slot]) return false;
    if (!utf8_error(r.id).empty()) return false;
    state[r.slot] = 2;
  }
  return true;
}

// An accepted layout must also build an index whose lists can all be read.
void build_index(const GraphLayout& layout) {
  std::size_t n = layout.node_count();
  if (n == 0 || layout.dim == 0 || layout.dim * n > 100000) return;
  VectorStore store(layout.dim);
  std::vector<float> row(layout.dim, 1.0f);
  for (std::size_t i = 0; i < n; ++i) store.append(row.data());
  auto index = HnswIndex::from_layout(layout, std::move(store), std::vector<float>(n, 1.0f));
  std::vector<std::uint32_t> list;
  for (std::uint32_t s = 0; s < n; ++s)
    for (std::size_t l = 0; l <= index->level(s); ++l) index->copy_list(s, l, list);
  expect(index->live_count() == n - layout.deleted.size(), "live count of a built index");
}

void visit_graph(std::string_view bytes) {
  std::size_t rest = 0;
  Result<GraphLayout> layout = read_graph_layout(bytes, rest);
  if (!layout.ok()) {
    ++graph_rejected;
    expect(layout.error().kind() == ErrorKind::DamagedFile, "graph layout error kind");
    return;
  }
  expect(rest <= bytes.size(), "record table offset inside the file");
  Result<std::vector<GraphRecord>> records = read_record_table(bytes, rest, layout.value());
  if (!records.ok()) {
    ++graph_rejected;
    expect(records.error().kind() == ErrorKind::DamagedFile, "record table error kind");
    return;
  }
  ++graph_accepted;
  expect(graph_holds_together(layout.value(), records.value()), "accepted graph holds together");
  build_index(layout.value());
}

std::string written_graph() {
  const std::size_t dim = 4;
  HnswIndex index(dim, Metric::Cosine, 3, 20);
  std::vector<float> v(dim);
  for (int i = 0; i < 40; ++i) {
    for (std::size_t j = 0; j < dim; ++j) v[j] = static_cast<float>((i * 7 + j * 3) % 11) - 5.0f;
    index.insert(v.data(), dim);
  }
  index.mark_deleted(5);
  index.mark_deleted(6);
  std::vector<GraphRecord> records;
  for (std::uint32_t s = 0; s < 40; ++s) {
    if (index.is_deleted(s)) continue;
    GraphRecord r{s, "r\xc3\xa9" + std::to_string(s), std::nullopt};
    JsonValue m;
    std::string error;
    if (s % 4 == 0 && parse_json("{\"k\":[1,-2,3.5,\"x\",null,true],\"s\":" + std::to_string(s) + "}", m, error))
      r.metadata = m;
    records.push_back(r);
  }
  ScratchDir dir;
  FileWriter sink;
  if (!sink.open(dir.file("graph.tmp"), FileWriter::Mode::Truncate).ok()) std::abort();
  CHECK(write_graph(index, sink).ok() && write_record_table(records, sink).ok() && sink.close().ok());
  Result<std::string> bytes = read_file(dir.file("graph.tmp"));
  return bytes.ok() ? bytes.value() : std::string();
}

// A graph file written whole, then a delta of new, relinked, replaced,
// deleted and re-described nodes appended to it.
std::string written_graph_with_delta() {
  const std::size_t dim = 4;
  HnswIndex index(dim, Metric::Euclidean, 3, 20);
  std::vector<float> v(dim);
  auto row = [&](int i) {
    for (std::size_t j = 0; j < dim; ++j) v[j] = static_cast<float>((i * 5 + j * 7) % 13) - 6.0f;
    return v.data();
  };
  for (int i = 0; i < 30; ++i) index.insert(row(i), dim);
  index.mark_deleted(3);
  std::vector<GraphRecord> records;
  for (std::uint32_t s = 0; s < 30; ++s)
    if (!index.is_deleted(s)) records.push_back(GraphRecord{s, "n" + std::to_string(s), std::nullopt});
  ScratchDir dir;
  FileWriter sink;
  if (!sink.open(dir.file("graph.tmp"), FileWriter::Mode::Truncate).ok()) std::abort();
  sink.track_checksum();
  CHECK(write_graph(index, sink, kGraphRowsApart | kGraphDeltas).ok() && write_row_section(index, sink, false).ok() &&
        write_record_table(records, sink).ok() && pad_record_table(sink.written(), sink).ok());
  for (int i = 30; i < 38; ++i) index.insert(row(i), dim);
  index.replace_vector(7, row(99), dim);
  index.mark_deleted(9);
  index.mark_deleted(31);
  std::vector<std::uint32_t> described{11, 12};
  DeltaScope scope;
  scope.file_nodes = 30;
  scope.rows_in_file = 30;
  scope.records_changed = &described;
  std::string text;
  CHECK(write_graph_delta(
            index, scope,
            [&](std::uint32_t slot, std::string& out) -> std::string_view {
              if (slot == 11) out = "{\"k\":1}";
              text = "n" + std::to_string(slot);
              return text;
            },
            sink)
            .ok() &&
        sink.close().ok());
  Result<std::string> bytes = read_file(dir.file("graph.tmp"));
  return bytes.ok() ? bytes.value() : std::string();
}

void fuzz_graph() {
  for (const std::string& valid :
       {GraphBytes::sample().bytes(), GraphBytes().bytes(), written_graph(), written_graph_with_delta()}) {
    std::size_t accepted = graph_accepted;
    visit_graph(valid);
    CHECK(graph_accepted == accepted + 1);
    every_damage(valid, visit_graph);
  }
  std::string head = GraphBytes().layout().substr(0, 12);
  for (int i = 0; i < 3000; ++i) {
    visit_graph(random_bytes(below(200)));
    visit_graph(head + random_bytes(below(200)));
  }
  // Every category must have been exercised.
  CHECK(graph_accepted > 100 && graph_rejected > 1000);
}

// ---- write-ahead log ----

std::vector<WalRecord> sample_records() {
  JsonValue m;
  std::string error;
  parse_json("{\"tag\":\"a\",\"n\":[1,2,{\"x\":-1.5e-3}]}", m, error);
  std::vector<float> v{1.5f, -2.0f, 0.0f};
  WalRecord clear = WalRecord::update("u", nullptr, nullptr);
  clear.has_metadata = true;
  return {WalRecord::insert("one", v, std::nullopt),
          WalRecord::insert("tw\xc3\xb6", {}, m),
          WalRecord::remove("one"),
          WalRecord::update("u", &v, &m),
          WalRecord::update("u", nullptr, nullptr),
          clear};
}

bool same_record(const WalRecord& a, const WalRecord& b) {
  return a.kind == b.kind && a.id == b.id && a.vector == b.vector && a.has_vector == b.has_vector &&
         a.metadata == b.metadata && a.has_metadata == b.has_metadata;
}

bool record_is_sound(const WalRecord& r) {
  bool kind_ok =
      r.kind == WalRecord::Kind::Insert || r.kind == WalRecord::Kind::Delete || r.kind == WalRecord::Kind::Update;
  return kind_ok && utf8_error(r.id).empty();
}

void visit_log(std::string_view bytes) {
  for (const WalRecord& r : parse_log(bytes)) expect(record_is_sound(r), "decoded log record");
}

// Damages one payload and gives the frame a matching checksum, so the
// decoder itself sees the damage.
std::string rechecked_frame(const WalRecord& r) {
  std::string payload = mutate(encode_payload(r));
  std::uint8_t kind = below(8) == 0 ? static_cast<std::uint8_t>(below(6)) : static_cast<std::uint8_t>(r.kind);
  std::string frame;
  ByteWriter w(frame);
  w.u8(kind);
  w.sized(payload);
  w.u32(crc32_bytes(crc32_bytes(0, &kind, 1), payload.data(), payload.size()));
  return frame;
}

void fuzz_log() {
  std::vector<WalRecord> records = sample_records();
  std::string log;
  std::vector<std::size_t> ends;
  for (const WalRecord& r : records) {
    log += encode_frame(r);
    ends.push_back(log.size());
  }
  // A cut log gives exactly the records that are whole.
  bool prefixes_exact = true;
  for (std::size_t n = 0; n <= log.size(); ++n) {
    std::vector<WalRecord> got = parse_log(std::string_view(log).substr(0, n));
    std::size_t whole = 0;
    while (whole < ends.size() && ends[whole] <= n) ++whole;
    prefixes_exact &= got.size() == whole;
    for (std::size_t i = 0; i < got.size() && i < whole; ++i) prefixes_exact &= same_record(got[i], records[i]);
  }
  CHECK(prefixes_exact);

  every_damage(log, visit_log);
  for (int i = 0; i < 3000; ++i) {
    std::string damaged;
    for (const WalRecord& r : records) damaged += below(2) ? rechecked_frame(r) : encode_frame(r);
    visit_log(damaged);
    visit_log(random_bytes(below(120)));
  }
}

// ---- vector files ----

void fuzz_quantized() {
  std::string valid;
  ByteWriter w(valid);
  w.u32(3);
  for (float f : {0.0f, 1.0f, 2.0f, 1.0f, 1.0f, 0.5f}) w.f32(f);
  w.bytes(std::string("\x01\x02\x03\x04\x05\x06", 6));
  const std::size_t shapes[][2] = {{2, 3}, {0, 3}, {1, 6}, {6, 1}, {2, 0}, {SIZE_MAX / 2, 3}, {3, SIZE_MAX / 2}};
  auto visit = [&](std::string_view bytes) {
    for (const auto& shape : shapes) {
      Result<Sq8Quantizer> q = parse_quantized(bytes, shape[0], shape[1]);
      if (!q.ok()) continue;
      const Sq8Quantizer& qz = q.value();
      bool sound = qz.dim() == shape[1] && qz.mins().size() == shape[1] && qz.scales().size() == shape[1] &&
                   qz.codes().size() == shape[0] * shape[1] &&
                   std::is_sorted(qz.exceptions().begin(), qz.exceptions().end()) &&
                   (qz.exceptions().empty() || qz.exceptions().back() < shape[0]);
      expect(sound, "accepted quantized file");
    }
  };
  every_damage(valid, visit);
  // Version 2 lists the exceptions (slot 1) after the scales.
  std::string listed;
  ByteWriter v2(listed);
  for (std::uint32_t field : {0x38515348u, 2u, 3u, 1u}) v2.u32(field);
  for (float f : {0.0f, 1.0f, 2.0f, 1.0f, 1.0f, 0.5f}) v2.f32(f);
  v2.u32(1);
  v2.bytes(std::string("\x01\x02\x03\x04\x05\x06", 6));
  every_damage(listed, visit);
  for (int i = 0; i < 2000; ++i) visit(random_bytes(below(64)));
}

void fuzz_attach() {
  ScratchDir dir;
  for (std::size_t size : {0u, 4u, 28u, 32u, 36u, 100u, 4096u}) {
    std::string path = dir.file("v" + std::to_string(size));
    FileWriter f;
    CHECK(f.open(path, FileWriter::Mode::Truncate).ok());
    if (size) CHECK(f.write(random_bytes(size)).ok());
    CHECK(f.close().ok());
    Result<std::shared_ptr<MappedFile>> map = MappedFile::map(path);
    CHECK(map.ok());
    if (!map.ok()) continue;
    for (std::size_t n = 0; n < 40; ++n) {
      for (std::size_t dim : {std::size_t(0), std::size_t(1), std::size_t(3), std::size_t(7), std::size_t(1023),
                              SIZE_MAX / 4, SIZE_MAX}) {
        Result<LoadedVectors> loaded = attach_vectors(map.value(), n, dim);
        if (!loaded.ok()) continue;
        const LoadedVectors& lv = loaded.value();
        bool sound = lv.store.float_count() == n * dim && lv.norms.size() == n &&
                     4 * (lv.store.float_count() + lv.norms.size()) == size;
        expect(sound, "attached vector file");
        float sum = 0.0f;
        for (std::uint32_t s = 0; dim > 0 && s < n; ++s) sum += lv.store.vector(s)[dim - 1];
        (void)sum;
      }
    }
  }
}

}  // namespace

int main() {
  fuzz_graph();
  fuzz_log();
  fuzz_quantized();
  fuzz_attach();
  CHECK(unsound == 0);
  std::printf("graph files accepted %zu, rejected %zu\n", graph_accepted, graph_rejected);
  return check::exit_code("test_fuzz_readers");
}
