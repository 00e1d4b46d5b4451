// Tests of the write-ahead log: record payloads and frames byte for byte,
// decoding of damaged payloads, the tolerant log parser, batches, and the
// appending writer on real files (including writes that stop part-way),
// prepared batches in the parser and in repair.
#include <signal.h>
#include <sys/resource.h>

#include <filesystem>
#include <string>
#include <vector>

#include "check.h"
#include "core/base/bytes.h"
#include "core/storage/wal.h"
#include "core/storage/wal_scan.h"
#include "core/storage/wal_writer.h"
#include "scratch_dir.h"

using namespace hovra;

namespace {

JsonValue json(const std::string& text) {
  JsonValue v;
  std::string error;
  if (!parse_json(text, v, error)) std::abort();
  return v;
}

bool same_record(const WalRecord& a, const WalRecord& b) {
  return a.kind == b.kind && a.id == b.id && a.vector == b.vector && a.has_vector == b.has_vector &&
         a.metadata == b.metadata && a.has_metadata == b.has_metadata;
}

// A frame with any kind byte and payload, checksummed correctly.
std::string raw_frame(std::uint8_t kind, const std::string& payload) {
  std::string out;
  ByteWriter w(out);
  w.u8(kind);
  w.sized(payload);
  std::uint32_t crc = crc32_bytes(0, &kind, 1);
  w.u32(crc32_bytes(crc, payload.data(), payload.size()));
  return out;
}

std::string insert_payload_with_metadata_text(const std::string& id, const std::string& text) {
  std::string p;
  ByteWriter w(p);
  w.sized(id);
  w.u32(1);
  w.f32(0.5f);
  w.sized(text);
  return p;
}

std::string bytes_of(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s.push_back(static_cast<char>(v));
  return s;
}

void test_checksum() {
  const char* check_input = "123456789";
  CHECK(crc32_bytes(0, check_input, 9) == 0xCBF43926u);
  // Continuing from a partial checksum equals one pass over the whole.
  CHECK(crc32_bytes(crc32_bytes(0, check_input, 4), check_input + 4, 5) == 0xCBF43926u);
  CHECK(crc32_bytes(0, "", 0) == 0);
}

void test_insert_frame_is_byte_exact() {
  std::string frame = encode_frame(WalRecord::insert("a", {1.0f, 2.0f}, std::nullopt));
  // kind 1, length 21, id "a", count 2, 1.0f, 2.0f, no metadata, CRC-32.
  std::string want = bytes_of({0x01, 0x15, 0,    0, 0, 0x01, 0,    0, 0, 'a', 0x02, 0,    0,    0,    0,
                               0,    0x80, 0x3f, 0, 0, 0,    0x40, 0, 0, 0,   0,    0xdb, 0xb1, 0x46, 0x1c});
  CHECK(frame.size() == 30);
  CHECK(frame == want);
}

void test_payload_layouts() {
  // Delete: the id alone.
  CHECK(encode_payload(WalRecord::remove("xy")) == bytes_of({2, 0, 0, 0, 'x', 'y'}));
  // Update with neither part: id and two zero flags.
  CHECK(encode_payload(WalRecord::update("k", nullptr, nullptr)) == bytes_of({1, 0, 0, 0, 'k', 0, 0}));
  // Update with a vector and metadata: flag, vector, flag, sized JSON text.
  std::vector<float> v{1.0f};
  JsonValue m = json("{\"b\":1}");
  std::string want = bytes_of({1, 0, 0, 0, 'k', 1, 1, 0, 0, 0, 0, 0, 0x80, 0x3f, 1, 7, 0, 0, 0});
  want += "{\"b\":1}";
  CHECK(encode_payload(WalRecord::update("k", &v, &m)) == want);
  // Update that removes the metadata: flag 1 and length 0.
  WalRecord clear = WalRecord::update("k", nullptr, nullptr);
  clear.has_metadata = true;
  CHECK(encode_payload(clear) == bytes_of({1, 0, 0, 0, 'k', 0, 1, 0, 0, 0, 0}));
  // Insert metadata is the compact text.
  std::string insert = encode_payload(WalRecord::insert("i", {}, json(" { \"z\" : [1, 2.5], \"a\": null } ")));
  CHECK(insert.substr(13) == std::string("{\"a\":null,\"z\":[1,2.5]}"));
}

void test_payload_round_trips() {
  std::vector<float> v{-0.0f, 3.25f, 1e-30f};
  JsonValue m = json("{\"tag\":\"x\",\"n\":-3,\"nested\":{\"u\":\"\\u00e9\"}}");
  std::vector<WalRecord> records{
      WalRecord::insert("plain", v, std::nullopt), WalRecord::insert("\xc3\xa9t\xc3\xa9", v, m),
      WalRecord::insert("", {}, json("[]")),       WalRecord::remove("gone"),
      WalRecord::update("u", nullptr, nullptr),    WalRecord::update("u", &v, nullptr),
      WalRecord::update("u", nullptr, &m),         WalRecord::update("u", &v, &m),
  };
  WalRecord clear = WalRecord::update("u", nullptr, nullptr);
  clear.has_metadata = true;
  records.push_back(clear);
  for (const WalRecord& r : records) {
    WalRecord back;
    CHECK(decode_payload(static_cast<std::uint8_t>(r.kind), encode_payload(r), back));
    CHECK(same_record(back, r));
  }
}

void test_payloads_that_do_not_decode() {
  WalRecord out = WalRecord::remove("untouched");
  std::string full = encode_payload(WalRecord::insert("abc", {1.0f, 2.0f}, json("{\"a\":1}")));
  for (std::size_t n = 0; n < full.size(); ++n) CHECK(!decode_payload(1, std::string_view(full).substr(0, n), out));
  CHECK(out.id == "untouched");  // a failed decode leaves the output alone

  // Unknown kinds, even with a payload that would decode as a delete.
  std::string del = encode_payload(WalRecord::remove("x"));
  for (int kind : {0, 4, 9, 255}) CHECK(!decode_payload(static_cast<std::uint8_t>(kind), del, out));

  // Ids must be valid UTF-8.
  std::string bad_id;
  ByteWriter(bad_id).sized("a\xff");
  CHECK(!decode_payload(2, bad_id, out));

  // Metadata must be one JSON document.
  CHECK(!decode_payload(1, insert_payload_with_metadata_text("m", "{"), out));
  CHECK(!decode_payload(1, insert_payload_with_metadata_text("m", "{} {}"), out));
  CHECK(decode_payload(1, insert_payload_with_metadata_text("m", "  {\"k\":true}\n"), out));
  CHECK(out.metadata && *out.metadata == json("{\"k\":true}"));

  // Counts larger than the payload fail without allocating for them.
  std::string huge;
  ByteWriter w(huge);
  w.sized("h");
  w.u32(0xFFFFFFFFu);
  w.f32(1.0f);
  CHECK(!decode_payload(1, huge, out));
  std::string huge_id = bytes_of({0xff, 0xff, 0xff, 0xff, 'a'});
  CHECK(!decode_payload(2, huge_id, out));
}

void test_update_flags() {
  WalRecord out;
  // Flag values other than 1 mean absent; the field after the flag is not read.
  CHECK(decode_payload(3, bytes_of({1, 0, 0, 0, 'k', 2, 7}), out));
  CHECK(!out.has_vector && !out.has_metadata && out.vector.empty() && !out.metadata);
  // Both flag bytes must be present.
  CHECK(!decode_payload(3, bytes_of({1, 0, 0, 0, 'k', 0}), out));
  CHECK(!decode_payload(3, bytes_of({1, 0, 0, 0, 'k'}), out));
  // Flag 1 with a length-0 metadata field: present and empty (remove).
  CHECK(decode_payload(3, bytes_of({1, 0, 0, 0, 'k', 0, 1, 0, 0, 0, 0}), out));
  CHECK(out.has_metadata && !out.metadata);
  // Flag 1 without the field that should follow does not decode.
  CHECK(!decode_payload(3, bytes_of({1, 0, 0, 0, 'k', 1, 0}), out));
  // Bytes after the last field are ignored.
  CHECK(decode_payload(2, bytes_of({1, 0, 0, 0, 'k', 9, 9, 9}), out));
  CHECK(out.kind == WalRecord::Kind::Delete && out.id == "k");
}

std::vector<WalRecord> three_records() {
  JsonValue m = json("{\"n\":2}");
  return {WalRecord::insert("one", {1.0f, 2.0f}, std::nullopt), WalRecord::insert("two", {3.0f, 4.0f}, m),
          WalRecord::remove("one")};
}

std::string log_of(const std::vector<WalRecord>& records) {
  std::string log;
  for (const WalRecord& r : records) log += encode_frame(r);
  return log;
}

void test_log_tolerance() {
  std::vector<WalRecord> records = three_records();
  std::string log = log_of(records);
  std::size_t first = encode_frame(records[0]).size();

  std::vector<WalRecord> all = parse_log(log);
  CHECK(all.size() == 3);
  for (std::size_t i = 0; i < all.size() && i < 3; ++i) CHECK(same_record(all[i], records[i]));
  CHECK(parse_log("").empty());

  // A torn tail is dropped quietly; so is any cut inside the last record.
  CHECK(parse_log(std::string_view(log).substr(0, log.size() - 3)).size() == 2);
  std::size_t before_third = log.size() - encode_frame(records[2]).size();
  for (std::size_t cut = before_third + 1; cut < log.size(); ++cut)
    CHECK(parse_log(std::string_view(log).substr(0, cut)).size() == 2);

  // A flipped payload byte of record 2 ends the log after record 1.
  std::string flipped = log;
  flipped[first + 5 + 2] ^= 0x20;
  std::vector<WalRecord> kept = parse_log(flipped);
  CHECK(kept.size() == 1 && same_record(kept[0], records[0]));

  // A huge length in the second frame reads as a torn record.
  std::string long_length = log;
  long_length[first + 4] = static_cast<char>(0x7f);
  CHECK(parse_log(long_length).size() == 1);

  // Unknown kinds and undecodable payloads with good checksums are skipped.
  std::string mixed = encode_frame(records[0]) + raw_frame(0xEE, encode_payload(records[1])) +
                      raw_frame(1, insert_payload_with_metadata_text("brace", "{")) + encode_frame(records[2]);
  kept = parse_log(mixed);
  CHECK(kept.size() == 2 && same_record(kept[0], records[0]) && same_record(kept[1], records[2]));
}

void test_writer_and_reader_on_files() {
  ScratchDir dir;
  std::string path = dir.file("wal.hovra");
  Result<std::vector<WalRecord>> missing = read_log(path);
  CHECK(missing.ok() && missing.value().empty());

  std::vector<WalRecord> records = three_records();
  Wal wal(path);
  CHECK(!wal.writer_open());
  CHECK(wal.append(records[0]).ok());
  CHECK(wal.writer_open());
  // Flushed after every record: the bytes are in the file right away.
  Result<std::string> bytes = read_file(path);
  CHECK(bytes.ok() && bytes.value() == encode_frame(records[0]));

  // Closing and appending again continues the file, never truncates it.
  wal.close_writer();
  CHECK(!wal.writer_open());
  CHECK(wal.append(records[1]).ok());
  CHECK(wal.append(records[2]).ok());
  bytes = read_file(path);
  CHECK(bytes.ok() && bytes.value() == log_of(records));

  Result<std::vector<WalRecord>> back = read_log(path);
  CHECK(back.ok() && back.value().size() == 3);

  // A record larger than the write buffer goes through whole.
  std::vector<float> big(5000, 0.25f);
  CHECK(wal.append(WalRecord::insert("big", big, std::nullopt)).ok());
  back = read_log(path);
  CHECK(back.ok() && back.value().size() == 4 && back.value().back().vector == big);

  // An empty log file is an empty log.
  Wal empty(dir.file("empty.hovra"));
  CHECK(empty.append(records[0]).ok());
  empty.close_writer();
  std::filesystem::resize_file(dir.file("empty.hovra"), 0);
  back = read_log(dir.file("empty.hovra"));
  CHECK(back.ok() && back.value().empty());
}

void test_writer_failures() {
  ScratchDir dir;
  std::string path = dir.file("later/wal.hovra");
  Wal wal(path);
  Status st = wal.append(WalRecord::remove("x"));
  CHECK(!st.ok() && st.error().kind() == ErrorKind::Io);
  CHECK(!wal.writer_open());
  // The next append tries to open the file again.
  CHECK(create_dirs(dir.file("later")).ok());
  CHECK(wal.append(WalRecord::remove("x")).ok());
  CHECK(wal.writer_open());

  // A log that exists but cannot be read fails the read.
  Result<std::vector<WalRecord>> unreadable = read_log(dir.file("later"));
  CHECK(!unreadable.ok() && unreadable.error().kind() == ErrorKind::Io);
}

void test_batches_replay_all_or_nothing() {
  std::vector<WalRecord> r = three_records();
  std::string lone = encode_frame(r[0]);
  std::string log = lone + encode_marker(kBatchBeginKind, 2) + encode_frame(r[1]) + encode_frame(r[2]) +
                    encode_marker(kBatchCommitKind, 2);
  LogScan all = scan_log(log);
  CHECK(all.records.size() == 3 && all.intact_end == log.size() && all.uncommitted == 0);
  // Any cut inside the batch drops all of it; the intact part ends before it.
  bool exact = true;
  for (std::size_t cut = lone.size(); cut < log.size(); ++cut) {
    LogScan s = scan_log(std::string_view(log).substr(0, cut));
    exact &= s.records.size() == 1 && same_record(s.records[0], r[0]) && s.intact_end == lone.size();
  }
  CHECK(exact);
  // A begin inside a batch abandons it; a commit whose count differs does
  // not apply; records after them replay on their own.
  std::string odd = encode_marker(kBatchBeginKind, 2) + encode_frame(r[1]) + encode_marker(kBatchBeginKind, 1) +
                    encode_frame(r[2]) + encode_marker(kBatchCommitKind, 2) + lone;
  LogScan s = scan_log(odd);
  CHECK(s.records.size() == 1 && s.uncommitted == 2 && s.intact_end == odd.size());
}

std::uint64_t file_size(const std::string& path) { return std::filesystem::file_size(path); }

void test_failed_writes_are_cut_back() {
  ScratchDir dir;
  std::string path = dir.file("wal.hovra");
  std::vector<WalRecord> r = three_records();
  Wal wal(path);
  CHECK(wal.append(r[0]).ok());
  std::uint64_t good = file_size(path);
  std::uint64_t appended = wal.appended();

  // A file-size limit stops writes part-way (EFBIG), as a full disk does.
  ::signal(SIGXFSZ, SIG_IGN);
  rlimit old;
  ::getrlimit(RLIMIT_FSIZE, &old);
  rlimit tight = old;
  tight.rlim_cur = good + 20;
  ::setrlimit(RLIMIT_FSIZE, &tight);
  std::vector<float> big(5000, 0.5f);
  CHECK(!wal.append(WalRecord::insert("big", big, std::nullopt)).ok());
  CHECK(file_size(path) == good);
  {
    WalBatch batch(wal, 2);
    CHECK(batch.begin().ok());
    Status st = batch.add(WalRecord::insert("b1", big, std::nullopt));
    if (st.ok()) st = batch.add(r[1]);
    if (st.ok()) st = batch.commit();
    CHECK(!st.ok());
  }
  CHECK(file_size(path) == good);
  ::setrlimit(RLIMIT_FSIZE, &old);

  // A batch given up before its commit leaves nothing either.
  {
    WalBatch batch(wal, 1);
    CHECK(batch.begin().ok() && batch.add(r[2]).ok());
  }
  CHECK(file_size(path) == good && wal.appended() == appended);
  CHECK(wal.append(r[1]).ok());
  {
    WalBatch batch(wal, 1);
    CHECK(batch.begin().ok() && batch.add(r[2]).ok() && batch.commit().ok());
  }
  Result<std::string> bytes = read_file(path);
  CHECK(bytes.ok());
  LogScan scan = scan_log(bytes.value());
  CHECK(scan.records.size() == 3 && scan.intact_end == bytes.value().size());
  CHECK(wal.contents_size() == bytes.value().size());
  CHECK(wal.contents_crc() == crc32_bytes(0, bytes.value().data(), bytes.value().size()));
}

// Prepared batches: held back until their resolution (also one that a
// later part of the log holds), carried into a new log, and kept by
// repair_log only when whole.
void test_prepared_batches_in_scan_and_repair() {
  std::vector<WalRecord> r = three_records();
  std::string prefix = encode_frame(r[0]) + encode_prepare_marker("t1", 2) + encode_frame(r[1]) + encode_frame(r[2]);
  LogScan pending = scan_log(prefix);
  CHECK(pending.records.size() == 1 && pending.prepared.size() == 1 && pending.prepared[0].transaction == "t1");
  CHECK(pending.prepared[0].records.size() == 2 && pending.intact_end == prefix.size());
  // A reader going on after the prefix: a resolution in the rest commits
  // or aborts the batch the prefix left pending.
  std::string rest = encode_resolution("t1", true);
  LogScan committed = scan_log(rest, pending.prepared);
  CHECK(committed.records.size() == 2 && committed.prepared.empty() && committed.intact_end == rest.size());
  LogScan aborted = scan_log(encode_resolution("t1", false), pending.prepared);
  CHECK(aborted.records.empty() && aborted.aborted == 2 && aborted.prepared.empty());
  // A new log carries pending batches as they were logged.
  std::vector<PreparedLog> carried = pending_batches(encode_prepared(pending.prepared));
  CHECK(carried.size() == 1 && carried[0].transaction == "t1" && carried[0].records.size() == 2 &&
        same_record(carried[0].records[1], r[2]));
  std::string log = prefix + rest;
  // Damage inside the prepared batch, with intact frames after it: the
  // scan says so, and repair drops the batch whole and keeps the rest.
  std::string damaged = log + encode_frame(r[0]);
  std::size_t in_batch = encode_frame(r[0]).size() + encode_prepare_marker("t1", 2).size() + 3;
  damaged[in_batch] ^= 0x5A;
  LogScan scan = scan_log(damaged);
  CHECK(scan.damaged_middle() && *scan.damage_at < in_batch + 1);
  RepairedLog kept = repair_log(damaged);
  CHECK(kept.dropped_batch_records == 1 && kept.damaged_spans == 1);
  LogScan replayed = scan_log(kept.bytes);
  CHECK(!replayed.damage_at && replayed.prepared.empty() && replayed.records.size() == 2);
  // An undamaged log comes through repair unchanged.
  CHECK(repair_log(log).bytes == log);
}

}  // namespace

int main() {
  test_checksum();
  test_insert_frame_is_byte_exact();
  test_payload_layouts();
  test_payload_round_trips();
  test_payloads_that_do_not_decode();
  test_update_flags();
  test_log_tolerance();
  test_writer_and_reader_on_files();
  test_writer_failures();
  test_batches_replay_all_or_nothing();
  test_failed_writes_are_cut_back();
  test_prepared_batches_in_scan_and_repair();
  return check::exit_code("test_wal");
}
