// Messages of the DbError kinds and the panic helpers.
#include "core/base/error.h"

#include <cstring>

namespace hovra {

DbError DbError::dimension_mismatch(std::size_t expected, std::size_t got) {
  DbError e(ErrorKind::DimensionMismatch, {});
  e.expected_ = expected;
  e.got_ = got;
  return e;
}
DbError DbError::duplicate_id(std::string id) { return DbError(ErrorKind::DuplicateId, std::move(id)); }
DbError DbError::not_found(std::string id) { return DbError(ErrorKind::NotFound, std::move(id)); }
DbError DbError::database_not_found(std::string path) {
  return DbError(ErrorKind::DatabaseNotFound, std::move(path));
}
DbError DbError::io(std::string text) { return DbError(ErrorKind::Io, std::move(text)); }
DbError DbError::io_errno(int err) { return DbError(ErrorKind::Io, os_error_text(err)); }
DbError DbError::invalid_metric(std::string name) { return DbError(ErrorKind::InvalidMetric, std::move(name)); }
DbError DbError::corrupt_data(std::string detail) { return DbError(ErrorKind::CorruptData, std::move(detail)); }
DbError DbError::invalid_filter(std::string detail) { return DbError(ErrorKind::InvalidFilter, std::move(detail)); }
DbError DbError::in_use(std::string path) { return DbError(ErrorKind::InUse, std::move(path)); }
DbError DbError::non_finite_vector(std::string id) { return DbError(ErrorKind::NonFiniteVector, std::move(id)); }
DbError DbError::non_finite_query() { return DbError(ErrorKind::NonFiniteQuery, {}); }
DbError DbError::read_only(std::string path) { return DbError(ErrorKind::ReadOnly, std::move(path)); }
DbError DbError::cancelled() { return DbError(ErrorKind::Cancelled, {}); }
DbError DbError::vector_too_large(std::string id) { return DbError(ErrorKind::VectorTooLarge, std::move(id)); }
DbError DbError::query_too_large() { return DbError(ErrorKind::QueryTooLarge, {}); }
DbError DbError::damaged_file(std::string text) { return DbError(ErrorKind::DamagedFile, std::move(text)); }
DbError DbError::duplicate_in_batch(std::string id, std::size_t first, std::size_t second) {
  DbError e(ErrorKind::DuplicateInBatch, std::move(id));
  e.expected_ = first;
  e.got_ = second;
  return e;
}
DbError DbError::invalid_argument(std::string detail) {
  return DbError(ErrorKind::InvalidArgument, std::move(detail));
}

DbError DbError::held(std::string id) { return DbError(ErrorKind::Held, std::move(id)); }

std::string DbError::message() const {
  switch (kind_) {
    case ErrorKind::DimensionMismatch:
      return "dimension mismatch: expected " + std::to_string(expected_) + ", got " + std::to_string(got_);
    case ErrorKind::DuplicateId:
      return "id '" + detail_ + "' already exists, use upsert instead";
    case ErrorKind::NotFound:
      return "id '" + detail_ + "' not found";
    case ErrorKind::DatabaseNotFound:
      return "database not found at '" + detail_ + "'";
    case ErrorKind::Io:
      return "io error: " + detail_;
    case ErrorKind::InvalidMetric:
      return "invalid metric '" + detail_ + "': use 'cosine', 'euclidean'/'l2', or 'dot'/'dot_product'";
    case ErrorKind::CorruptData:
      return "corrupt data: " + detail_;
    case ErrorKind::InvalidFilter:
      return "invalid filter: " + detail_;
    case ErrorKind::InUse:
      return "database at '" + detail_ + "' is in use by another process";
    case ErrorKind::NonFiniteVector:
      return "vector for id '" + detail_ + "' contains NaN or infinity";
    case ErrorKind::NonFiniteQuery:
      return "query contains NaN or infinity";
    case ErrorKind::ReadOnly:
      return "database at '" + detail_ + "' is open read-only";
    case ErrorKind::Cancelled:
      return "operation cancelled";
    case ErrorKind::VectorTooLarge:
      return "vector for id '" + detail_ + "' is too large: its squared norm overflows float32";
    case ErrorKind::QueryTooLarge:
      return "query is too large: its squared norm overflows float32";
    case ErrorKind::DamagedFile:
      return "io error: " + detail_;
    case ErrorKind::DuplicateInBatch:
      return "id '" + detail_ + "' appears twice in the batch (rows " + std::to_string(expected_) + " and " +
             std::to_string(got_) + ")";
    case ErrorKind::InvalidArgument:
      return detail_;
    case ErrorKind::Held:
      return "id '" + detail_ + "' is held by a prepared transaction that is not resolved yet";
  }
  return detail_;
}

std::string os_error_text(int err) {
  char buf[256];
  const char* text = strerror_r(err, buf, sizeof buf);
  return std::string(text) + " (os error " + std::to_string(err) + ")";
}

void panic(const std::string& message) { throw Panic(message); }

void assert_len(std::size_t left, std::size_t right, const char* message) {
  if (left == right) return;
  std::string text = "assertion `left == right` failed";
  if (message && *message) text += std::string(": ") + message;
  text += "\n  left: " + std::to_string(left) + "\n right: " + std::to_string(right);
  panic(text);
}

}  // namespace hovra
