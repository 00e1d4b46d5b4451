// The write-ahead log wal.hovra, its bytes: record payloads (one field list
// shared by the encoder and the decoder), frames with their CRC-32, batch
// and prepared-batch markers and the log header. Decoded ids pass the strict
// UTF-8 check of base/utf8.h. The appending writer is in wal_writer.cpp; the
// reading side (the header's check, the tolerant scanner and repair) is in
// wal_scan.cpp, and nothing here calls either.
#include "core/storage/wal.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "core/base/bytes.h"
#include "core/base/file_io.h"
#include "core/base/utf8.h"
#include "core/storage/wal_frame.h"

namespace hovra {

namespace {

// Puts payload fields into bytes. Every method succeeds.
class PayloadEncoder {
 public:
  explicit PayloadEncoder(std::string& out) : w_(out) {}

  bool id(const std::string& id) {
    w_.sized(id);
    return true;
  }
  bool vector(const std::vector<float>& v) {
    w_.u32(static_cast<std::uint32_t>(v.size()));
    w_.f32s(v.data(), v.size());
    return true;
  }
  bool metadata(const std::optional<JsonValue>& m) {
    if (!m) {
      w_.u32(0);
      return true;
    }
    w_.sized(to_json_text(*m));
    return true;
  }
  template <class Field>
  bool optional(const bool& present, Field field) {
    w_.u8(present ? 1 : 0);
    return present ? field() : true;
  }
  bool sparse(const SparseVector& v) {
    write_sparse(w_, v);
    return true;
  }
  bool text_index(const std::optional<TextIndexSpec>& spec) {
    w_.u8(spec ? 1 : 0);
    if (!spec) return true;
    w_.sized(spec->field);
    w_.sized(spec->language);
    w_.u8(spec->stemmer);
    w_.u8(spec->stopwords);
    w_.f64(spec->k1);
    w_.f64(spec->b);
    return true;
  }

 private:
  ByteWriter w_;
};

// Takes payload fields from bytes; a method fails when its field is cut off
// or does not read (invalid UTF-8 id, metadata text that is not JSON).
class PayloadDecoder {
 public:
  explicit PayloadDecoder(std::string_view payload) : r_(payload) {}

  bool id(std::string& id) {
    std::uint32_t len;
    std::string_view bytes;
    if (!r_.u32(len) || !r_.bytes(len, bytes)) return false;
    if (!utf8_error(bytes).empty()) return false;
    id.assign(bytes);
    return true;
  }
  bool vector(std::vector<float>& v) {
    std::uint32_t count;
    return r_.u32(count) && r_.f32s(count, v);
  }
  bool metadata(std::optional<JsonValue>& m) {
    std::uint32_t len;
    std::string_view text;
    if (!r_.u32(len) || !r_.bytes(len, text)) return false;
    if (len == 0) {
      m.reset();
      return true;
    }
    JsonValue value;
    std::string error;
    if (!parse_json(text, value, error)) return false;
    m = std::move(value);
    return true;
  }
  template <class Field>
  bool optional(bool& present, Field field) {
    std::uint8_t flag;
    if (!r_.u8(flag)) return false;
    present = flag == 1;
    return present ? field() : true;
  }
  bool sparse(SparseVector& v) { return read_sparse(r_, v); }
  bool text_index(std::optional<TextIndexSpec>& spec) {
    std::uint8_t present, stemmer, stopwords;
    if (!r_.u8(present)) return false;
    if (present == 0) {
      spec.reset();
      return true;
    }
    TextIndexSpec s;
    std::uint32_t len;
    std::string_view field, language;
    double k1, b;
    if (!r_.u32(len) || !r_.bytes(len, field) || !r_.u32(len) || !r_.bytes(len, language) || !r_.u8(stemmer) ||
        !r_.u8(stopwords) || !r_.f64(k1) || !r_.f64(b))
      return false;
    s.field.assign(field);
    s.language.assign(language);
    s.stemmer = stemmer == 1;
    s.stopwords = stopwords == 1;
    s.k1 = k1;
    s.b = b;
    spec = std::move(s);
    return true;
  }

 private:
  ByteReader r_;
};

// The payload fields of each kind, in order. Record is WalRecord when
// decoding and const WalRecord when encoding. A record with a sparse
// vector (the kinds kInsertSparseKind and kUpdateSparseKind) carries it
// after the fields of its plain kind.
template <class Codec, class Record>
bool payload_fields(Codec& codec, Record& r) {
  switch (r.kind) {
    case WalRecord::Kind::Insert:
      return codec.id(r.id) && codec.vector(r.vector) && codec.metadata(r.metadata) &&
             (!r.has_sparse || codec.sparse(r.sparse));
    case WalRecord::Kind::Delete:
      return codec.id(r.id);
    case WalRecord::Kind::Update:
      return codec.id(r.id) && codec.optional(r.has_vector, [&] { return codec.vector(r.vector); }) &&
             codec.optional(r.has_metadata, [&] { return codec.metadata(r.metadata); }) &&
             (!r.has_sparse || codec.sparse(r.sparse));
    case WalRecord::Kind::TextIndex:
      return codec.text_index(r.text_index);
  }
  return false;
}

// A record of the kind with the flags every record of that kind carries.
WalRecord blank_record(WalRecord::Kind kind, std::string id) {
  WalRecord r;
  r.kind = kind;
  r.id = std::move(id);
  r.has_vector = r.has_metadata = kind == WalRecord::Kind::Insert;
  return r;
}

}  // namespace

// The record kind and sparse flag of a frame kind code; false when unknown.
bool kind_of_code(std::uint8_t code, WalRecord::Kind& kind, bool& has_sparse) {
  has_sparse = code == kInsertSparseKind || code == kUpdateSparseKind;
  switch (code) {
    case 1:
    case kInsertSparseKind:
      kind = WalRecord::Kind::Insert;
      return true;
    case 2:
      kind = WalRecord::Kind::Delete;
      return true;
    case 3:
    case kUpdateSparseKind:
      kind = WalRecord::Kind::Update;
      return true;
    case 8:
      kind = WalRecord::Kind::TextIndex;
      return true;
  }
  return false;
}

std::uint32_t frame_checksum(std::uint8_t kind, std::string_view payload) {
  std::uint32_t crc = crc32_bytes(0, &kind, 1);
  return crc32_bytes(crc, payload.data(), payload.size());
}

WalRecord WalRecord::insert(std::string id, std::vector<float> vector, std::optional<JsonValue> metadata) {
  WalRecord r = blank_record(Kind::Insert, std::move(id));
  r.vector = std::move(vector);
  r.metadata = std::move(metadata);
  return r;
}

WalRecord WalRecord::remove(std::string id) { return blank_record(Kind::Delete, std::move(id)); }

WalRecord WalRecord::update(std::string id, const std::vector<float>* vector, const JsonValue* metadata) {
  WalRecord r = blank_record(Kind::Update, std::move(id));
  if (vector) {
    r.has_vector = true;
    r.vector = *vector;
  }
  if (metadata) {
    r.has_metadata = true;
    r.metadata = *metadata;
  }
  return r;
}

std::string encode_payload(const WalRecord& record) {
  std::string out;
  PayloadEncoder encoder(out);
  payload_fields(encoder, record);
  return out;
}

std::uint8_t frame_kind(const WalRecord& record) {
  if (record.has_sparse && record.kind == WalRecord::Kind::Insert) return kInsertSparseKind;
  if (record.has_sparse && record.kind == WalRecord::Kind::Update) return kUpdateSparseKind;
  return static_cast<std::uint8_t>(record.kind);
}

bool decode_payload(std::uint8_t kind, std::string_view payload, WalRecord& out) {
  WalRecord::Kind record_kind;
  bool has_sparse;
  if (!kind_of_code(kind, record_kind, has_sparse)) return false;
  WalRecord r = blank_record(record_kind, {});
  r.has_sparse = has_sparse;
  PayloadDecoder decoder(payload);
  if (!payload_fields(decoder, r)) return false;
  out = std::move(r);
  return true;
}

bool insert_fields(std::string_view payload, InsertFields& out) {
  ByteReader r(payload);
  std::uint32_t len, text_len;
  std::string_view id, floats, text;
  if (!r.u32(len) || !r.bytes(len, id) || !utf8_error(id).empty()) return false;
  if (!r.u32(out.dim) || out.dim > r.remaining() / 4 || !r.bytes(std::size_t{out.dim} * 4, floats)) return false;
  if (!r.u32(text_len) || !r.bytes(text_len, text)) return false;
  out.id = id;
  out.vector = reinterpret_cast<const unsigned char*>(floats.data());
  out.metadata = text;
  return true;
}

std::string encode_frame(const WalRecord& record) {
  std::uint8_t kind = frame_kind(record);
  std::string payload = encode_payload(record);
  std::string frame;
  frame.reserve(payload.size() + 9);
  ByteWriter w(frame);
  w.u8(kind);
  w.sized(payload);
  w.u32(frame_checksum(kind, payload));
  return frame;
}

void encode_insert_frame(std::string_view id, const float* vector, std::size_t len,
                         std::optional<PackedValue> metadata, std::string& frame, const SparseVector* sparse) {
  const std::uint8_t kind = sparse ? kInsertSparseKind : static_cast<std::uint8_t>(WalRecord::Kind::Insert);
  frame.clear();
  ByteWriter w(frame);
  w.u8(kind);
  w.u32(0);  // the payload's length, set below
  const std::size_t payload_at = frame.size();
  w.sized(id);
  w.u32(static_cast<std::uint32_t>(len));
  w.f32s(vector, len);
  w.u32(0);  // the metadata's length, set below
  const std::size_t text_at = frame.size();
  if (metadata) write_packed_json(*metadata, frame);
  auto patch = [&frame](std::size_t at, std::size_t value) {
    std::string le;
    ByteWriter(le).u32(static_cast<std::uint32_t>(value));
    frame.replace(at, 4, le);
  };
  patch(text_at - 4, frame.size() - text_at);
  if (sparse) write_sparse(w, *sparse);
  patch(payload_at - 4, frame.size() - payload_at);
  std::string_view payload(frame.data() + payload_at, frame.size() - payload_at);
  w.u32(frame_checksum(kind, payload));
}

std::string encode_marker(std::uint8_t kind, std::uint32_t count) {
  std::string payload;
  ByteWriter(payload).u32(count);
  std::string frame;
  ByteWriter w(frame);
  w.u8(kind);
  w.sized(payload);
  w.u32(frame_checksum(kind, payload));
  return frame;
}

std::string encode_log_header(std::uint64_t generation) {
  std::string out;
  ByteWriter w(out);
  w.u32(kLogMagic);
  w.u32(kLogVersion);
  w.u64(generation);
  w.u32(crc32_bytes(0, out.data(), out.size()));
  return out;
}

namespace {

std::string frame_of(std::uint8_t kind, const std::string& payload) {
  std::string frame;
  ByteWriter w(frame);
  w.u8(kind);
  w.sized(payload);
  w.u32(frame_checksum(kind, payload));
  return frame;
}

}  // namespace

// The transaction id and the second field of a prepare marker (its count)
// or a resolution (its outcome, widened).
bool decode_transaction_frame(std::uint8_t kind, std::string_view payload, std::string& transaction,
                              std::uint32_t& value) {
  ByteReader r(payload);
  std::uint32_t len;
  std::string_view bytes;
  if (!r.u32(len) || !r.bytes(len, bytes)) return false;
  if (kind == kPrepareKind) {
    if (!r.u32(value)) return false;
  } else {
    std::uint8_t outcome;
    if (!r.u8(outcome) || outcome > 1) return false;
    value = outcome;
  }
  transaction.assign(bytes);
  return true;
}

std::string encode_prepare_marker(std::string_view transaction, std::uint32_t count) {
  std::string payload;
  ByteWriter w(payload);
  w.sized(transaction);
  w.u32(count);
  return frame_of(kPrepareKind, payload);
}

std::string encode_resolution(std::string_view transaction, bool commit) {
  std::string payload;
  ByteWriter w(payload);
  w.sized(transaction);
  w.u8(commit ? 1 : 0);
  return frame_of(kResolveKind, payload);
}

std::string encode_prepared(const std::vector<PreparedLog>& batches) {
  std::string out;
  for (const PreparedLog& batch : batches) {
    out += encode_prepare_marker(batch.transaction, static_cast<std::uint32_t>(batch.records.size()));
    for (const WalRecord& record : batch.records) out += encode_frame(record);
  }
  return out;
}

}  // namespace hovra
