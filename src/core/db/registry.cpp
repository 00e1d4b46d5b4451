// The process's open databases, keyed by the directory's device and inode:
// a second opener of a directory shares the engine that already holds it
// (one set of records, one log), so that nothing one of them writes is lost
// by the other. The directory is made absolute once, at open. Entries remember the process that opened them, so a
// forked child opens on its own (and then finds the parent's lock).
#include <map>
#include <mutex>

#include "core/base/file_io.h"
#include "core/db/database.h"
#include "core/db/directory.h"

namespace hovra {

namespace {

struct Entry {
  std::weak_ptr<Database> engine;
  int pid = 0;
};

// Guards the table and every engine's destruction, so an opener never sees
// an engine that is gone from the table but still holds its lock.
std::mutex& registry_mutex() {
  static std::mutex* m = new std::mutex();  // never destroyed: engines may outlive static destruction
  return *m;
}

std::map<FileId, Entry>& registry() {
  static auto* table = new std::map<FileId, Entry>();
  return *table;
}

void forget_expired(std::map<FileId, Entry>& table) {
  for (auto it = table.begin(); it != table.end();) {
    if (it->second.engine.expired()) it = table.erase(it);
    else ++it;
  }
}

}  // namespace

// The directory is made absolute here, once: a later change of the working
// directory moves none of the engine's files. Messages keep the path as the
// opener gave it.
Result<std::shared_ptr<Database>> Database::open_or_create(const OpenOptions& given) {
  if (given.path.find('\0') != std::string::npos) return DbError::io("embedded null byte");
  OpenOptions options = given;
  options.path = absolute_path(given.path);
  const std::string& dir = options.path;
  if (options.dim) {
    HOVRA_RETURN_IF_ERROR(create_dirs(dir));
  } else if (!survey_directory(dir).holds_database()) {
    return DbError::database_not_found(given.path);
  }
  Result<FileId> id = file_identity(dir);
  if (!id.ok()) return id.error();

  std::lock_guard<std::mutex> guard(registry_mutex());
  auto& table = registry();
  forget_expired(table);
  int pid = current_process_id();
  auto found = table.find(id.value());
  // The pid is checked before the weak pointer is locked: a forked child
  // must not even take a reference to its parent's engine here.
  if (found != table.end() && found->second.pid == pid) {
    if (std::shared_ptr<Database> shared = found->second.engine.lock()) {
      if (options.sync_writes) shared->require_sync_writes();
      return shared;
    }
  }
  Result<std::unique_ptr<Database>> opened = open_locked(options, given.path);
  if (!opened.ok()) return opened.error();
  std::shared_ptr<Database> engine(opened.value().release(), [](Database* db) {
    std::lock_guard<std::mutex> g(registry_mutex());
    delete db;
  });
  table[id.value()] = Entry{engine, pid};
  return engine;
}

}  // namespace hovra
