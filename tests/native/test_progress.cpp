// Stopping the long operations through their Progress token: a batch stopped
// while it is logged leaves memory and the log as they were, one stopped
// once storing began completes; search_many stops with nothing; a stopped
// compaction or save leaves the database and its files exactly as before.
#include <chrono>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "batch_items.h"
#include "check.h"
#include "core/base/file_io.h"
#include "core/db/database.h"
#include "scratch_dir.h"

using namespace hovra;

namespace {

constexpr std::size_t kDim = 8;

BatchItems batch(std::size_t n, const std::string& prefix, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> gauss;
  BatchItems items;
  for (std::size_t i = 0; i < n; ++i) {
    items.ids.push_back(prefix + std::to_string(i));
    items.vectors.emplace_back(kDim);
    for (float& x : items.vectors.back()) x = gauss(rng);
  }
  return items;
}

std::shared_ptr<Database> create(const std::string& dir) {
  OpenOptions options;
  options.path = dir;
  options.dim = kDim;
  Result<std::shared_ptr<Database>> db = Database::open_or_create(options);
  if (!db.ok()) std::abort();
  return db.value();
}

std::shared_ptr<Database> reopen(const std::string& dir) {
  OpenOptions options;
  options.path = dir;
  Result<std::shared_ptr<Database>> db = Database::open_or_create(options);
  if (!db.ok()) std::abort();
  return db.value();
}

std::uint64_t size_of(const std::string& path) { return file_stamp(path).size; }

std::string contents(const std::string& path) {
  Result<std::string> bytes = read_file(path);
  return bytes.ok() ? bytes.value() : std::string("<missing>");
}

bool cancelled(const Status& st) { return !st.ok() && st.error().kind() == ErrorKind::Cancelled; }

// Asks for the stop once the operation has reached the phase (and done at
// least `after` of it).
std::thread stop_in(Progress& progress, const char* phase, std::uint64_t after) {
  return std::thread([&progress, phase, after] {
    for (;;) {
      Progress::Snapshot s = progress.snapshot();
      if (s.phase != nullptr && std::strcmp(s.phase, phase) == 0 && s.done >= after) break;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    progress.request_stop();
  });
}

void test_batches() {
  ScratchDir dir;
  std::shared_ptr<Database> db = create(dir.path());
  CHECK(db->add_many(batch(50, "base-", 1).view()).ok());
  const std::string wal = dir.file("wal.hovra");
  std::uint64_t log_before = size_of(wal);

  // Stopped while logging: nothing stored, nothing left in the log.
  for (int upsert = 0; upsert < 2; ++upsert) {
    Progress stopped;
    stopped.request_stop();
    BatchItems items = batch(400, "new-", 2);
    if (upsert) items.append(batch(1, "base-", 3), 0);  // an existing id, which it would replace
    Result<RecordView> base0 = db->get("base-0");
    Status st = upsert ? db->upsert_many(items.view(), &stopped) : db->add_many(items.view(), &stopped);
    CHECK(cancelled(st));
    CHECK(db->len() == 50 && db->total_slots() == 50 && !db->contains("new-0"));
    CHECK(db->get("base-0").value().vector == base0.value().vector);
    CHECK(size_of(wal) == log_before);
  }

  // Stopped once storing began: the batch completes.
  Progress late;
  std::thread stopper = stop_in(late, "storing", 1);
  CHECK(db->add_many(batch(3000, "late-", 4).view(), &late).ok());
  stopper.join();
  CHECK(db->len() == 3050);
  Progress::Snapshot s = late.snapshot();
  CHECK(std::strcmp(s.phase, "storing") == 0 && s.done == 3000 && s.total == 3000);

  // The log holds exactly the completed batches: a reopen sees them all.
  db.reset();
  db = reopen(dir.path());
  CHECK(db->len() == 3050 && db->contains("late-2999") && !db->contains("new-0"));
}

void test_search_many() {
  ScratchDir dir;
  std::shared_ptr<Database> db = create(dir.path());
  CHECK(db->add_many(batch(500, "r", 5).view()).ok());
  std::vector<std::vector<float>> queries;
  queries = batch(64, "q", 6).vectors;
  SearchParams params;
  Progress counted;
  auto all = db->search_many(queries, params, &counted);
  CHECK(all.ok() && all.value().size() == 64 && counted.snapshot().done == 64);
  Progress stopped;
  stopped.request_stop();
  auto none = db->search_many(queries, params, &stopped);
  CHECK(!none.ok() && none.error().kind() == ErrorKind::Cancelled);
}

void test_compact() {
  ScratchDir dir;
  std::shared_ptr<Database> db = create(dir.path());
  CHECK(db->add_many(batch(8000, "r", 7).view()).ok());
  for (int i = 0; i < 8000; i += 3) CHECK(db->remove("r" + std::to_string(i)).value());
  std::vector<float> query = batch(1, "q", 8).vectors[0];
  SearchParams params;
  params.k = 20;
  auto before = db->search(query, params).value();

  Progress stopped;
  std::thread stopper = stop_in(stopped, "rebuilding", 200);
  CHECK(cancelled(db->compact(&stopped)));
  stopper.join();
  CHECK(db->len() == 5333 && db->total_slots() == 8000 && db->deleted_count() == 2667);
  auto after = db->search(query, params).value();
  CHECK(after.size() == before.size());
  for (std::size_t i = 0; i < after.size() && i < before.size(); ++i)
    CHECK(after[i].id == before[i].id && after[i].distance == before[i].distance);

  CHECK(db->compact().ok());
  CHECK(db->len() == 5333 && db->total_slots() == 5333 && db->deleted_count() == 0);
}

void test_save() {
  ScratchDir dir;
  std::shared_ptr<Database> db = create(dir.path());
  CHECK(db->add_many(batch(300, "r", 9).view()).ok());
  CHECK(db->save().ok());
  CHECK(db->add_many(batch(10, "later-", 10).view()).ok());
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
    names.push_back(entry.path().filename().string());
  std::vector<std::string> saved;
  for (const std::string& name : names) saved.push_back(contents(dir.file(name)));

  Progress stopped;
  stopped.request_stop();
  CHECK(cancelled(db->save(&stopped)));
  // Every file as it was (the log included), and no temporary left behind.
  std::size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    (void)entry;
    ++files;
  }
  CHECK(files == names.size());
  for (std::size_t i = 0; i < names.size(); ++i) CHECK(contents(dir.file(names[i])) == saved[i]);

  Progress counted;
  CHECK(db->save(&counted).ok());
  CHECK(contents(dir.file("wal.hovra")).size() == kLogHeaderSize);  // the new checkpoint's empty log
  db.reset();
  CHECK(reopen(dir.path())->len() == 310);
}

}  // namespace

int main() {
  test_batches();
  test_search_many();
  test_compact();
  test_save();
  return check::exit_code("test_progress");
}
