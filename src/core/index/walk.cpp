// The layer walks themselves are templates (walk.h); this file holds their
// per-thread scratch.
#include "core/index/walk.h"

namespace hovra {

// Kept out of line: inlined, the compiler would recompute the thread-local's
// address (a call into the dynamic loader in a loaded module) at every use of
// the reference inside the walks instead of holding it in a register.
[[gnu::noinline]] WalkScratch& walk_scratch() {
  thread_local WalkScratch scratch;
  return scratch;
}

}  // namespace hovra
