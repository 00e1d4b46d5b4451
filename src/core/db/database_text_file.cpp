// The text file text.hovra: the text index and the sparse vectors as a
// save leaves them. Layout (little-endian, see docs):
//   u32 magic "HTXT", u32 version (1),
//   u8 has_text_index; when 1:
//     sized field, sized language, u8 stemmer, u8 stopwords, f64 k1, f64 b,
//     sized Unicode version of the analyser, u8 complete,
//     u32 term count, each term sized (its position is its id),
//     u32 document count, each: u32 slot, u32 pair count, pairs of
//     (u32 term id, u32 frequency);
//   u32 sparse count, each: u32 slot, the sparse vector (u32 n, n u32
//     indices, n f32 values);
//   u32 CRC-32 of everything before it.
// The sparse vectors are the records' own data; the text index is derived
// from the metadata, so a file whose index this build would analyse
// differently (another Unicode version or definition) or that was saved
// while the index was being built is rebuilt from the metadata instead.
#include "core/base/bytes.h"
#include "core/base/file_io.h"
#include "core/db/database.h"
#include "core/text/unicode_text.h"

namespace hovra {

namespace {
constexpr std::uint32_t kTextMagic = 0x54585448;  // "HTXT"
constexpr std::uint32_t kTextVersion = 1;

DbError text_file_damaged(const std::string& what) { return DbError::corrupt_data("text.hovra: " + what); }
}  // namespace

// Caller holds the index read lock and the text read lock.
std::string Database::encode_text_file() const {
  std::string out;
  ByteWriter w(out);
  w.u32(kTextMagic);
  w.u32(kTextVersion);
  w.u8(text_ ? 1 : 0);
  if (text_) {
    const TextIndexSpec& spec = text_->spec;
    const TextIndex& index = *text_->index;
    w.sized(spec.field);
    w.sized(spec.language);
    w.u8(spec.stemmer);
    w.u8(spec.stopwords);
    w.f64(spec.k1);
    w.f64(spec.b);
    w.sized(unicode_version());
    w.u8(text_->complete);
    // Terms renumbered densely in id order (freed ids are skipped).
    std::vector<std::uint32_t> file_id(index.term_id_limit(), 0xFFFFFFFFu);
    std::vector<std::uint32_t> live_terms;
    for (std::uint32_t t = 0; t < index.term_id_limit(); ++t) {
      if (index.term_text(t).empty()) continue;
      file_id[t] = static_cast<std::uint32_t>(live_terms.size());
      live_terms.push_back(t);
    }
    w.u32(static_cast<std::uint32_t>(live_terms.size()));
    for (std::uint32_t t : live_terms) w.sized(index.term_text(t));
    w.u32(static_cast<std::uint32_t>(index.documents()));
    for (std::uint32_t s = 0; s < index.slot_capacity(); ++s) {
      if (!index.indexed(s)) continue;
      const auto& terms = index.document_terms(s);
      w.u32(s);
      w.u32(static_cast<std::uint32_t>(terms.size()));
      for (const auto& [term, tf] : terms) {
        w.u32(file_id[term]);
        w.u32(tf);
      }
    }
  }
  w.u32(static_cast<std::uint32_t>(sparse_.vectors()));
  for (std::uint32_t s = 0; s < sparse_.slot_capacity(); ++s) {
    const SparseVector* v = sparse_.vector_at(s);
    if (!v) continue;
    w.u32(s);
    write_sparse(w, *v);
  }
  w.u32(crc32_bytes(0, out.data(), out.size()));
  return out;
}

// Called while loading, before the log is replayed (no other thread sees
// the database yet). Slots must be live slots of the loaded index.
Status Database::load_text_file(std::string_view bytes) {
  if (bytes.size() < 4) return text_file_damaged("too short");
  std::uint32_t crc = load_u32(reinterpret_cast<const unsigned char*>(bytes.data() + bytes.size() - 4));
  std::string_view body = bytes.substr(0, bytes.size() - 4);
  if (crc32_bytes(0, body.data(), body.size()) != crc) return text_file_damaged("checksum mismatch");
  ByteReader r(body);
  std::uint32_t magic = 0, version = 0;
  std::uint8_t has_text = 0;
  if (!r.u32(magic) || magic != kTextMagic) return text_file_damaged("bad magic");
  if (!r.u32(version) || version != kTextVersion)
    return text_file_damaged("unsupported version " + std::to_string(version));
  if (!r.u8(has_text)) return text_file_damaged("truncated");
  const HnswIndex* index = index_.get();
  std::uint32_t slots = static_cast<std::uint32_t>(index->node_count());
  auto live_slot = [&](std::uint32_t s) { return s < slots && !index->is_deleted(s); };
  if (has_text == 1) {
    TextIndexSpec spec;
    std::uint32_t len;
    std::string_view field, language, unicode;
    std::uint8_t stemmer, stopwords, complete;
    double k1, b;
    if (!r.u32(len) || !r.bytes(len, field) || !r.u32(len) || !r.bytes(len, language) || !r.u8(stemmer) ||
        !r.u8(stopwords) || !r.f64(k1) || !r.f64(b) || !r.u32(len) || !r.bytes(len, unicode) || !r.u8(complete))
      return text_file_damaged("truncated definition");
    spec.field.assign(field);
    spec.language.assign(language);
    spec.stemmer = stemmer == 1;
    spec.stopwords = stopwords == 1;
    spec.k1 = k1;
    spec.b = b;
    define_text_index(spec);
    std::uint32_t terms;
    if (!r.u32(terms) || terms > r.remaining() / 4) return text_file_damaged("truncated terms");
    std::vector<std::string_view> term_texts(terms);
    for (auto& t : term_texts)
      if (!r.u32(len) || !r.bytes(len, t)) return text_file_damaged("truncated terms");
    std::uint32_t docs;
    if (!r.u32(docs)) return text_file_damaged("truncated documents");
    bool usable = text_ && complete == 1 && unicode == unicode_version();
    std::vector<std::uint32_t> ids;
    if (usable) {
      ids.reserve(terms);
      for (auto t : term_texts) ids.push_back(text_->index->intern(t));
    }
    std::vector<std::pair<std::uint32_t, std::uint32_t>> doc;
    std::uint32_t last = 0;
    for (std::uint32_t d = 0; d < docs; ++d) {
      std::uint32_t slot, pairs;
      if (!r.u32(slot) || !r.u32(pairs) || pairs > r.remaining() / 8) return text_file_damaged("truncated documents");
      if ((d > 0 && slot <= last) || !live_slot(slot)) return text_file_damaged("document of a slot not live");
      last = slot;
      doc.clear();
      for (std::uint32_t i = 0; i < pairs; ++i) {
        std::uint32_t term, tf;
        r.u32(term);
        r.u32(tf);
        if (term >= terms || tf == 0) return text_file_damaged("bad term in a document");
        if (usable) doc.emplace_back(ids[term], tf);
      }
      if (usable) text_->index->add_document(slot, doc);
    }
    if (text_) {
      if (usable) {
        text_->complete = true;
        text_->built_below = slots;
      } else {
        // Built again from the metadata once the log is replayed.
        *text_->index = TextIndex(text_->index->analyzer(), text_->index->params());
      }
    }
  }
  std::uint32_t count;
  if (!r.u32(count)) return text_file_damaged("truncated sparse vectors");
  std::uint32_t last = 0;
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint32_t slot;
    SparseVector v;
    if (!r.u32(slot) || !read_sparse(r, v) || v.empty()) return text_file_damaged("bad sparse vector");
    if ((i > 0 && slot <= last) || !live_slot(slot)) return text_file_damaged("sparse vector of a slot not live");
    last = slot;
    sparse_.set(slot, std::move(v));
  }
  if (r.remaining() != 0) return text_file_damaged("trailing bytes");
  return Status::success();
}

}  // namespace hovra
