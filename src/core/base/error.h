// The engine's error handling: DbError, the one error type that every engine
// operation returns by value, the Result/Status carriers, and Panic, which
// stops an operation on an internal invariant violation.
#pragma once

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>

namespace hovra {

enum class ErrorKind {
  DimensionMismatch,
  DuplicateId,
  NotFound,
  DatabaseNotFound,
  Io,
  InvalidMetric,
  CorruptData,
  InvalidFilter,
  // Kinds added beside the original eight.
  InUse,             // the directory is owned by another process
  NonFiniteVector,   // a stored vector with NaN or infinity
  NonFiniteQuery,    // a query with NaN or infinity
  ReadOnly,          // a change to a database loaded for reading only
  Cancelled,         // a long operation stopped on request (Progress)
  VectorTooLarge,    // a stored vector whose squared norm overflows float32
  QueryTooLarge,     // a query whose squared norm overflows float32
  DamagedFile,       // a database file that does not read (shown as an io error)
  DuplicateInBatch,  // one id twice in a batch of add_many
  InvalidArgument,   // a value the engine cannot take (text analysis, sparse vectors, fusion)
  Held,              // a change to an id that an unresolved prepared batch holds
};

class DbError {
 public:
  static DbError dimension_mismatch(std::size_t expected, std::size_t got);
  static DbError duplicate_id(std::string id);
  static DbError not_found(std::string id);
  static DbError database_not_found(std::string path);
  // `text` is the operating system's description or a format reader's message.
  static DbError io(std::string text);
  // An Io error from the errno of a failed system call.
  static DbError io_errno(int err);
  static DbError invalid_metric(std::string name);
  static DbError corrupt_data(std::string detail);
  static DbError invalid_filter(std::string detail);
  static DbError in_use(std::string path);
  static DbError non_finite_vector(std::string id);
  static DbError non_finite_query();
  static DbError read_only(std::string path);
  static DbError cancelled();
  static DbError vector_too_large(std::string id);
  static DbError query_too_large();
  // A file that does not read as its format says; the text reads as an Io
  // error's ("io error: bad graph magic"), the kind says it is damage.
  static DbError damaged_file(std::string text);
  // rows: the two positions in the batch, in order.
  static DbError duplicate_in_batch(std::string id, std::size_t first, std::size_t second);
  // The detail is the whole message.
  static DbError invalid_argument(std::string detail);
  // A change to an id, or a prepare of a transaction id, that an unresolved
  // prepared batch holds.
  static DbError held(std::string id);

  ErrorKind kind() const { return kind_; }
  // The kind's own detail: the id, path, os text, metric name or detail text.
  const std::string& detail() const { return detail_; }
  // The full display text, e.g. "io error: bad graph magic".
  std::string message() const;

 private:
  DbError(ErrorKind kind, std::string detail) : kind_(kind), detail_(std::move(detail)) {}
  ErrorKind kind_;
  std::string detail_;
  std::size_t expected_ = 0;
  std::size_t got_ = 0;
};

// The os error text in the platform's usual rendering: "<strerror> (os error N)".
std::string os_error_text(int err);

// A value or a DbError.
template <class T>
class Result {
 public:
  Result(T value) : v_(std::move(value)) {}
  Result(DbError error) : v_(std::move(error)) {}
  bool ok() const { return v_.index() == 0; }
  T& value() { return std::get<0>(v_); }
  const T& value() const { return std::get<0>(v_); }
  const DbError& error() const { return std::get<1>(v_); }

 private:
  std::variant<T, DbError> v_;
};

// Success or a DbError.
class Status {
 public:
  Status() = default;
  Status(DbError error) : err_(std::move(error)) {}
  static Status success() { return Status(); }
  bool ok() const { return !err_.has_value(); }
  const DbError& error() const { return *err_; }

 private:
  std::optional<DbError> err_;
};

// Thrown when an internal invariant is violated (out-of-range slot, dimension
// assertion in the index). Never thrown for input the database validated; the
// Python layer turns it into PanicException.
class Panic : public std::runtime_error {
 public:
  explicit Panic(const std::string& what) : std::runtime_error(what) {}
};

[[noreturn]] void panic(const std::string& message);

// Equality assertion in the index: "assertion `left == right` failed: <msg>".
void assert_len(std::size_t left, std::size_t right, const char* message);

}  // namespace hovra

#define HOVRA_RETURN_IF_ERROR(expr)    \
  do {                                 \
    ::hovra::Status _st = (expr);      \
    if (!_st.ok()) return _st.error(); \
  } while (0)
