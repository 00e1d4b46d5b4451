// The survey of a database directory (see directory.h).
#include "core/db/directory.h"

#include "core/base/file_io.h"
#include "core/storage/graph_file.h"

namespace hovra {

namespace {

std::uint64_t size_of(const std::string& path) {
  FileStamp stamp = file_stamp(path);
  return stamp.exists ? stamp.size : 0;
}

// A graph file holds data unless it reads as a graph without nodes.
bool graph_holds_data(const std::string& path) {
  Result<std::string> bytes = read_file(path);
  if (!bytes.ok()) return true;
  std::size_t rest = 0;
  Result<GraphLayout> layout = read_graph_layout(bytes.value(), rest);
  return !layout.ok() || layout.value().node_count() > 0;
}

}  // namespace

DbError DirectorySurvey::missing() const {
  if (only_log)
    return DbError::corrupt_data(std::string(kGraphFile) + " and " + kVectorsFile +
                                 " are missing; the directory holds only " + kWalFile +
                                 " (open it with dim to replay the log into a new database)");
  if (!graph && !vectors)
    return DbError::corrupt_data(std::string(kGraphFile) + " and " + kVectorsFile + " are missing");
  return DbError::corrupt_data(std::string(graph ? kVectorsFile : kGraphFile) + " is missing");
}

DirectorySurvey survey_directory(const std::string& dir) {
  DirectorySurvey s;
  const std::string graph = join_path(dir, kGraphFile), vectors = join_path(dir, kVectorsFile);
  s.graph = path_exists(graph);
  s.vectors = path_exists(vectors);
  s.vectors_tmp = path_exists(join_path(dir, kVectorsTmp));
  bool seal = path_exists(join_path(dir, kSealFile));
  bool log = size_of(join_path(dir, kWalFile)) > 0;
  bool rows = s.vectors && size_of(vectors) > 0;
  // Reading the graph is needed only when nothing else decided.
  bool records = !seal && !rows && s.graph && !s.loadable() && graph_holds_data(graph);
  s.has_data = seal || log || rows || records;
  s.only_log = log && !seal && !rows && !records && !s.graph && !s.vectors;
  return s;
}

}  // namespace hovra
