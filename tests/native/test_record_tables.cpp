// Tests of the compact record tables against plain models: packed JSON
// (text, lookup, equality and unpacking agree with JsonValue), the byte
// table (entries by position across replacements and shedding), the id
// index (against std::unordered_map under random inserts and erases), the
// insert frame built in place (the same bytes as encode_frame), and the
// layouts of VectorRows.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "check.h"
#include "random_json.h"
#include "core/records/byte_table.h"
#include "core/records/id_index.h"
#include "core/records/json.h"
#include "core/records/packed_json.h"
#include "core/storage/wal.h"
#include "core/vectors/vector_rows.h"

using namespace hovra;

namespace {

void test_packed_json_agrees_with_json_value() {
  std::mt19937_64 rng(2024);
  int bad = 0;
  for (int i = 0; i < 5000; ++i) {
    JsonValue v = random_json::value(rng);
    std::string bytes = packed(v);
    PackedValue p(bytes);
    bool ok = p.size() == bytes.size() && p.kind() == v.kind() && packed_to_text(bytes) == to_json_text(v) &&
              p.to_json() == v && p.equals(v);
    // The packed form read back from the text is the same bytes.
    std::string again, error;
    ok = ok && parse_json_packed(to_json_text(v), again, error) && again == bytes;
    if (v.is_object()) {
      for (const auto& [key, member] : v.as_object()) {
        std::optional<PackedValue> found = p.find(key);
        ok = ok && found && found->equals(member) && found->to_json() == member;
      }
      for (int k = 0; k < 8; ++k) {
        std::string key = random_json::text(rng);
        std::optional<PackedValue> found = p.find(key);
        const JsonValue* want = v.find(key);
        ok = ok && (found.has_value() == (want != nullptr)) && (!want || found->equals(*want));
      }
    }
    // Equality tells kinds and values apart.
    JsonValue other = random_json::value(rng);
    ok = ok && p.equals(other) == (other == v);
    if (v.is_number()) ok = ok && p.number_as_double() == v.number_as_double();
    if (!ok && ++bad <= 3) std::fprintf(stderr, "    packed mismatch: %s\n", to_json_text(v).c_str());
  }
  CHECK(bad == 0);
  // Integers keep their kind: 1 is not 1.0, and the extremes survive.
  CHECK(!PackedValue(packed(JsonValue::unsigned_int(1))).equals(JsonValue::floating(1.0)));
  CHECK(PackedValue(packed(JsonValue::unsigned_int(UINT64_MAX))).as_unsigned() == UINT64_MAX);
  CHECK(PackedValue(packed(JsonValue::signed_int(INT64_MIN))).as_signed() == INT64_MIN);
  CHECK_TEXT(packed_to_text(packed(JsonValue::signed_int(INT64_MIN))), "-9223372036854775808");
}

void test_byte_table_matches_a_vector_of_strings() {
  std::mt19937_64 rng(99);
  ByteTable table;
  std::vector<std::optional<std::string>> model;
  auto random_bytes = [&] {
    static const std::size_t lengths[] = {0, 1, 5, 127, 128, 129, 300, 16383, 16384};
    std::string s(lengths[rng() % 9], '\0');
    for (char& c : s) c = static_cast<char>(rng());
    return s;
  };
  int bad = 0;
  for (int step = 0; step < 20000; ++step) {
    int op = static_cast<int>(rng() % 10);
    if (op < 4 || model.empty()) {
      if (rng() % 5 == 0) {
        table.push_absent();
        model.emplace_back();
      } else {
        std::string s = random_bytes();
        table.push_back(s);
        model.emplace_back(s);
      }
    } else if (op < 7) {
      std::size_t i = rng() % model.size();
      std::string s = random_bytes();
      table.set(i, s);
      model[i] = s;
    } else if (op < 9) {
      std::size_t i = rng() % model.size();
      table.set_absent(i);
      model[i].reset();
    } else {
      std::size_t n = model.size() + rng() % 3;
      table.grow_to(n);
      model.resize(n);
    }
    if (step % 997 == 0 || step == 19999) {
      if (table.size() != model.size()) ++bad;
      for (std::size_t i = 0; i < model.size() && i < table.size(); ++i) {
        if (table.present(i) != model[i].has_value() || table.get(i) != model[i].value_or(std::string())) ++bad;
      }
    }
  }
  CHECK(bad == 0);
  // A selection keeps the chosen entries in the chosen order.
  std::vector<std::uint32_t> picked;
  for (std::uint32_t i = 0; i < model.size(); i += 3) picked.insert(picked.begin(), i);
  ByteTable chosen = table.select(picked);
  CHECK(chosen.size() == picked.size());
  bool same = true;
  for (std::size_t k = 0; k < picked.size(); ++k)
    same =
        same && chosen.present(k) == model[picked[k]].has_value() && chosen.get(k) == model[picked[k]].value_or("");
  CHECK(same);
}

void test_id_index_matches_a_hash_map() {
  std::mt19937_64 rng(7);
  ByteTable ids;
  IdIndex index;
  std::unordered_map<std::string, std::uint32_t> model;
  auto random_id = [&] {
    // Few distinct short ids (many collisions of homes and repeats) and
    // some long ones.
    std::string id = std::to_string(rng() % 5000);
    if (rng() % 8 == 0) id += std::string(rng() % 200, static_cast<char>('a' + rng() % 26));
    return id;
  };
  int bad = 0;
  for (int step = 0; step < 60000; ++step) {
    std::string id = random_id();
    auto it = model.find(id);
    if (rng() % 3 != 0) {
      if (it != model.end()) {
        if (index.find(id, ids) != it->second) ++bad;
        continue;
      }
      auto slot = static_cast<std::uint32_t>(ids.size());
      ids.push_back(id);
      index.insert(slot, ids);
      model.emplace(id, slot);
    } else {
      std::uint32_t erased = index.erase(id, ids);
      if (it == model.end()) {
        if (erased != IdIndex::kNone) ++bad;
        continue;
      }
      if (erased != it->second) ++bad;
      ids.set_absent(erased);
      model.erase(it);
    }
    if (step % 4999 == 0) {
      for (const auto& [key, slot] : model)
        if (index.find(key, ids) != slot) ++bad;
      // The batch lookup answers as one lookup per id does, for batches
      // shorter and longer than its look-ahead, repeats and absent ids too.
      for (std::size_t n : {0, 1, 7, 8, 9, 300}) {
        ByteTable wanted;
        for (std::size_t i = 0; i < n; ++i) wanted.push_back(random_id());
        std::vector<std::uint32_t> slots(n), hashes(n);
        index.find_many(wanted, ids, slots.data(), hashes.data());
        for (std::size_t i = 0; i < n; ++i)
          if (slots[i] != index.find(wanted.get(i), ids) || hashes[i] != IdIndex::hash_of(wanted.get(i))) ++bad;
      }
    }
  }
  CHECK(bad == 0);
  CHECK(index.size() == model.size());
  std::size_t seen = 0;
  index.for_each([&](std::uint32_t slot) {
    ++seen;
    auto it = model.find(std::string(ids.get(slot)));
    if (it == model.end() || it->second != slot) ++bad;
  });
  CHECK(seen == model.size() && bad == 0);
  for (int i = 0; i < 1000; ++i) CHECK(index.find("absent-" + std::to_string(i), ids) == IdIndex::kNone);
  index.clear();
  CHECK(index.size() == 0 && index.find("1", ids) == IdIndex::kNone);
}

void test_insert_frame_matches_encode_frame() {
  std::mt19937_64 rng(5);
  std::string frame;
  int bad = 0;
  for (int i = 0; i < 500; ++i) {
    std::string id = random_json::text(rng);
    std::vector<float> vector(rng() % 40);
    for (float& x : vector) x = static_cast<float>(static_cast<std::int64_t>(rng() % 2001) - 1000) / 7.0f;
    std::optional<JsonValue> metadata;
    if (rng() % 3) metadata = random_json::value(rng, 1);
    std::string bytes = metadata ? packed(*metadata) : std::string();
    std::optional<PackedValue> packed_metadata;
    if (metadata) packed_metadata = PackedValue(bytes);
    encode_insert_frame(id, vector.data(), vector.size(), packed_metadata, frame);
    if (frame != encode_frame(WalRecord::insert(id, vector, metadata))) ++bad;
  }
  CHECK(bad == 0);
}

void test_vector_rows_layouts() {
  // A 3 x 4 block of doubles read by columns (a Fortran-order layout) and
  // narrowed; the rows of a selection follow their index.
  const double values[12] = {1, 5, 9, 2, 6, 10, 3, 7, 11, 4, 8, 12.25};
  VectorRows rows = VectorRows::strided(values, 3, 4, sizeof(double), 3 * sizeof(double), VectorRows::Element::F64);
  CHECK(rows.needs_scratch() && rows.size() == 3 && rows.len(2) == 4);
  RowReader read(rows);
  const float* r2 = read(2);
  CHECK(r2[0] == 9.0f && r2[1] == 10.0f && r2[2] == 11.0f && r2[3] == 12.25f);
  const std::uint32_t order[2] = {2, 0};
  VectorRows picked = VectorRows::selected(rows, order, 2);
  RowReader read_picked(picked);
  CHECK(picked.size() == 2 && read_picked(0)[3] == 12.25f && read_picked(1)[0] == 1.0f);

  // Aligned contiguous floats are read in place; ragged rows keep their
  // own lengths.
  const float flat[6] = {1, 2, 3, 4, 5, 6};
  VectorRows in_place = VectorRows::contiguous(flat, 2, 3);
  CHECK(!in_place.needs_scratch() && in_place.row(1, nullptr) == flat + 3);
  const std::size_t ends[3] = {1, 1, 6};
  VectorRows ragged = VectorRows::ragged(flat, ends, 3);
  CHECK(ragged.len(0) == 1 && ragged.len(1) == 0 && ragged.len(2) == 5 && ragged.row(2, nullptr) == flat + 1);
}

}  // namespace

int main() {
  test_packed_json_agrees_with_json_value();
  test_byte_table_matches_a_vector_of_strings();
  test_id_index_matches_a_hash_map();
  test_insert_frame_matches_encode_frame();
  test_vector_rows_layouts();
  return check::exit_code("test_record_tables");
}
