// Group commit: leader election among waiting writers, one fdatasync per
// group, and the sticky failure after a failed sync.
#include "core/storage/group_commit.h"

#include <algorithm>

namespace hovra {

Status GroupCommit::wait(std::uint64_t ticket, FunctionRef<Snapshot()> snapshot) {
  std::unique_lock<std::mutex> lock(mutex_);
  while (durable_ < ticket) {
    if (failure_) return *failure_;
    if (syncing_) {
      done_.wait(lock);
      continue;
    }
    syncing_ = true;
    lock.unlock();
    Snapshot target = snapshot();
    Status st = target.handle ? target.handle->sync_data() : Status::success();
    lock.lock();
    syncing_ = false;
    if (st.ok()) {
      durable_ = std::max(durable_, target.ticket);
    } else {
      failure_ = DbError::io("syncing the log failed (" + st.error().detail() +
                             "); changes since the last sync may be lost; reopen the database");
    }
    done_.notify_all();
  }
  return Status::success();
}

void GroupCommit::mark_durable(std::uint64_t ticket) {
  std::lock_guard<std::mutex> lock(mutex_);
  durable_ = std::max(durable_, ticket);
  done_.notify_all();
}

std::optional<DbError> GroupCommit::failure() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return failure_;
}

}  // namespace hovra
