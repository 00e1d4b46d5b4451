// The names of a database directory's files and the survey that open,
// verify and repair share: which of them are there, whether they hold
// data, and whether they can make a database.
#pragma once

#include <string>

#include "core/base/error.h"

namespace hovra {

inline constexpr const char* kGraphFile = "graph.hovra";
inline constexpr const char* kVectorsFile = "vectors.bin";
inline constexpr const char* kSq8File = "vectors.sq8";
inline constexpr const char* kWalFile = "wal.hovra";
// A checkpoint's new log before it is renamed over wal.hovra.
inline constexpr const char* kWalTmp = "wal.tmp";
inline constexpr const char* kLockFile = "lock.hovra";
inline constexpr const char* kGraphTmp = "graph.tmp";
inline constexpr const char* kVectorsTmp = "vectors.tmp";
inline constexpr const char* kSq8Tmp = "vectors.sq8.tmp";
inline constexpr const char* kSealFile = "seal.hovra";
inline constexpr const char* kSealTmp = "seal.tmp";
// The text index and the sparse vectors (a database that has either).
inline constexpr const char* kTextFile = "text.hovra";
inline constexpr const char* kTextTmp = "text.tmp";
// The one-bit codes of the saved rows (saves while one-bit search is on).
inline constexpr const char* kCodesFile = "vectors.b1";
inline constexpr const char* kCodesTmp = "vectors.b1.tmp";

// What a directory holds. A database loads from graph.hovra and vectors.bin
// (or the vectors.tmp of a save that committed and stopped before moving
// it). Files that hold data are a checksum record, a graph file with
// records (or one that does not read), a vector file with rows and a log
// with any bytes; an empty database's files, a quantized file, temporaries
// and the lock file hold none.
struct DirectorySurvey {
  bool graph = false;
  bool vectors = false;
  bool vectors_tmp = false;
  bool has_data = false;
  // The only file that holds data is a log: a database that a build which
  // did not save at creation never saved. Created with dim, the new
  // database replays it, so nothing is lost.
  bool only_log = false;

  // Worth loading: the graph file and a vector file.
  bool loadable() const { return graph && (vectors || vectors_tmp); }
  // Holds a database or what is left of one: never created over.
  bool holds_database() const { return loadable() || has_data; }
  // CorruptData naming the main files that are missing: "graph.hovra is
  // missing", "vectors.bin is missing" or both (with a word on a lone log).
  DbError missing() const;
};

DirectorySurvey survey_directory(const std::string& dir);

}  // namespace hovra
