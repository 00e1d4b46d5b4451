// The process's open databases, keyed by the directory's device and inode:
// a second opener of a directory shares the engine that already holds it
// (one set of records, one log), so that nothing one of them writes is lost
// by the other. The directory is made absolute once, at open. Entries
// remember the process that opened them, so a forked child opens on its own
// (and then finds the parent's lock). Also the fork handlers that keep an
// inherited engine usable in a child (see Database::before_fork).
#include <map>
#include <mutex>
#include <new>
#include <set>

#include "core/base/file_io.h"
#include "core/base/thread_pool.h"
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

// Every engine alive in this process (inherited ones included), for the
// fork handlers; guarded by the registry mutex.
std::set<Database*>& live_engines() {
  static auto* engines = new std::set<Database*>();
  return *engines;
}

// The deleter of every shared engine.
void forget_and_delete(Database* db) {
  std::lock_guard<std::mutex> g(registry_mutex());
  live_engines().erase(db);
  delete db;
}

void forget_expired(std::map<FileId, Entry>& table) {
  for (auto it = table.begin(); it != table.end();) {
    if (it->second.engine.expired()) it = table.erase(it);
    else ++it;
  }
}

}  // namespace

Status Database::save_all_open() {
  std::vector<std::shared_ptr<Database>> open;
  {
    std::lock_guard<std::mutex> guard(registry_mutex());
    int pid = current_process_id();
    for (auto& [id, entry] : registry())
      if (entry.pid == pid)
        if (std::shared_ptr<Database> db = entry.engine.lock()) open.push_back(std::move(db));
  }
  Status first = Status::success();
  for (const auto& db : open) {
    if (db->has_unsaved_changes()) {
      Status st = db->save();
      if (!st.ok() && first.ok()) first = st;
    }
    // The process is ending: no linker may still be linking (on the worker
    // pool) while static objects are destroyed. Rows not linked stay fresh.
    db->linker_.stop();
  }
  return first;
}

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
      if (options.exact_threshold) shared->set_exact_threshold(*options.exact_threshold);
      return shared;
    }
  }
  Result<std::unique_ptr<Database>> opened = open_locked(options, given.path);
  if (!opened.ok()) return opened.error();
  if (options.exact_threshold) opened.value()->set_exact_threshold(*options.exact_threshold);
  register_fork_handlers();
  std::shared_ptr<Database> engine(opened.value().release(), forget_and_delete);
  live_engines().insert(engine.get());
  table[id.value()] = Entry{engine, pid};
  return engine;
}

// The worker pool registers its own handlers when it is first made; making
// sure of that first puts ours before its in the prepare order (the reverse
// of registration), so that the fork waits for changes to finish before it
// takes the pool's mutex, which a change may need on its way.
void Database::register_fork_handlers() {
  static const bool registered = [] {
    configured_pool_size();
    return run_around_fork(before_fork, after_fork_in_parent, after_fork_in_child);
  }();
  (void)registered;
}

// The registry mutex first (no engine is created or destroyed meanwhile),
// then each engine's record locks, shared, in the lock order.
void Database::before_fork() {
  registry_mutex().lock();
  for (Database* db : live_engines()) db->hold_for_fork();
}

void Database::after_fork_in_parent() {
  for (Database* db : live_engines()) db->release_after_fork();
  registry_mutex().unlock();
}

// The only thread of the child is the one that forked, which holds the
// registry mutex; every other holder of an engine lock is gone.
void Database::after_fork_in_child() {
  for (Database* db : live_engines()) db->renew_locks_in_child();
  registry_mutex().unlock();
}

void Database::hold_for_fork() {
  id_map_lock_.lock_shared();
  id_order_mutex_.lock();
  index_lock_.lock_shared();
  slot_ids_lock_.lock_shared();
  metadata_lock_.lock_shared();
  metadata_index_lock_.lock_shared();
  text_lock_.lock_shared();
}

void Database::release_after_fork() {
  text_lock_.unlock_shared();
  metadata_index_lock_.unlock_shared();
  metadata_lock_.unlock_shared();
  slot_ids_lock_.unlock_shared();
  index_lock_.unlock_shared();
  id_order_mutex_.unlock();
  id_map_lock_.unlock_shared();
}

// Each lock is built anew over the old one (whose holders, the parent's
// other threads, do not exist here). The data they guard is whole: no
// writer held a lock at the fork. The save and WAL mutexes may have been
// held by a save or a change in the parent; the child never writes, but a
// save or verify asked for there takes the save mutex before it is refused.
void Database::renew_locks_in_child() {
  new (&save_mutex_) Mutex();
  new (&id_map_lock_) SharedMutex();
  new (&id_order_mutex_) Mutex();
  new (&index_lock_) SharedMutex();
  new (&slot_ids_lock_) SharedMutex();
  new (&metadata_lock_) SharedMutex();
  new (&metadata_index_lock_) SharedMutex();
  new (&text_lock_) SharedMutex();
  new (&wal_mutex_) Mutex();
  text_builder_.renew_in_child();
  linker_.renew_in_child();  // the linker thread stays in the parent
}

std::shared_ptr<Database> Database::share_loaded(std::unique_ptr<Database> db) {
  register_fork_handlers();
  std::shared_ptr<Database> engine(db.release(), forget_and_delete);
  std::lock_guard<std::mutex> guard(registry_mutex());
  live_engines().insert(engine.get());
  return engine;
}

std::shared_ptr<Database> Database::open_in_process(const std::string& dir) {
  Result<FileId> id = file_identity(dir);
  if (!id.ok()) return nullptr;
  std::lock_guard<std::mutex> guard(registry_mutex());
  auto& table = registry();
  auto found = table.find(id.value());
  if (found == table.end() || found->second.pid != current_process_id()) return nullptr;
  return found->second.engine.lock();
}

}  // namespace hovra
