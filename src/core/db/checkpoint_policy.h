// CheckpointPolicy: when a database checkpoints by itself. It holds the
// automatic checkpoint's bounds, the log's growth since the last save
// (record bytes and records), the log size a failed checkpoint left (the
// next try waits for the log to grow by the bound again), and the marks of
// work a save keeps although nothing was logged for it: a compaction, and
// rows linked since the graph file was written (the file still holds them
// as fresh, so closing saves again rather than leaving the next open to
// link them anew).
//
// Every field is atomic, or set at open before another thread sees the
// engine, so the policy takes no lock of its own.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>

#include "core/base/defaults.h"

namespace hovra {

// How far the log grew: the bytes of its records and their count.
struct LogGrowth {
  std::uint64_t bytes = 0;
  std::uint64_t records = 0;
};

class CheckpointPolicy {
 public:
  // At open, before the engine is shared.
  void configure(bool automatic, std::uint64_t bytes, std::uint64_t records) {
    automatic_ = automatic;
    bound_bytes_ = bytes;
    bound_records_ = records;
  }
  // The log's records that open kept (they are not in the saved files).
  void set_growth(LogGrowth growth) {
    bytes_.store(growth.bytes);
    records_.store(growth.records);
  }
  // After an append (WAL mutex held): the log's size and the records added.
  void logged(std::uint64_t log_size, std::uint64_t records) {
    bytes_.store(log_size, std::memory_order_relaxed);
    records_.fetch_add(records, std::memory_order_relaxed);
  }
  LogGrowth growth() const { return {bytes_.load(), records_.load()}; }

  // Whether the log has grown past the bounds (always false when the
  // automatic checkpoint is off).
  bool due() const {
    if (!automatic_) return false;
    std::uint64_t bytes = bytes_.load(std::memory_order_relaxed);
    std::uint64_t failed = failed_at_.load(std::memory_order_relaxed);
    if (failed != 0) return bytes >= failed + bound_bytes_;
    return bytes >= bound_bytes_ || records_.load(std::memory_order_relaxed) >= bound_records_;
  }
  // A checkpoint begun at a log of `bytes` failed.
  void failed_at(std::uint64_t bytes) { failed_at_.store(bytes); }
  // A save committed: what it took in is no longer the log's growth.
  void saved(LogGrowth taken) {
    bytes_.fetch_sub(std::min(taken.bytes, bytes_.load()));
    records_.fetch_sub(std::min(taken.records, records_.load()));
    failed_at_.store(0);
  }

  void note_compacted() { compacted_.store(true); }
  void note_linked() { linked_.store(true); }
  // A save wrote the files: linking and compaction from now on are the
  // next save's.
  void clear_marks() {
    compacted_.store(false);
    linked_.store(false);
  }
  // Whether a save would write anything.
  bool unsaved() const { return bytes_.load() > 0 || compacted_.load() || linked_.load(); }

 private:
  bool automatic_ = false;
  std::uint64_t bound_bytes_ = kDefaultCheckpointBytes;
  std::uint64_t bound_records_ = kDefaultCheckpointRecords;
  std::atomic<std::uint64_t> bytes_{0};
  std::atomic<std::uint64_t> records_{0};
  std::atomic<std::uint64_t> failed_at_{0};
  std::atomic<bool> compacted_{false};
  std::atomic<bool> linked_{false};
};

}  // namespace hovra
