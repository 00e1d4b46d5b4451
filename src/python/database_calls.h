// What the Database method files share: None and a Status as results,
// optional counts and the show_progress flag, starting a LongCall, and
// whether a batch or a batch of searches is worth a helper thread.
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "core/base/defaults.h"
#include "core/base/error.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/long_call.h"

namespace hovra::py {

inline PyObject* none() { Py_RETURN_NONE; }

inline PyObject* status_result(const Status& status) {
  if (!status.ok()) return raise_engine_error(status.error());
  return none();
}

inline bool optional_count(PyObject* obj, const char* arg, std::optional<std::uint64_t>& out) {
  if (obj == nullptr) return true;
  std::uint64_t value = 0;
  if (!count_arg(obj, arg, value)) return false;
  out = value;
  return true;
}

// The keyword-only show_progress flag (None and omission mean False).
inline bool progress_flag(PyObject* obj, bool& out) {
  out = false;
  return obj == nullptr || flag_arg(obj, "show_progress", out);
}

// A LongCall for a method, with its progress display when asked for.
inline bool start_long_call(LongCall& call, bool show_progress) { return !show_progress || call.show_progress(); }

// Whether a batch or a batch of searches is worth a helper thread (see
// LongCall::run): roughly more than ten milliseconds of work, counted in
// floats read. Linking a vector reads a few hundred others (about the
// default ef_construction); a query reads every live vector on the
// exhaustive path and a few thousand (kGraphQueryRows) on the graph path.
inline constexpr double kLongWork = 2e7;
inline constexpr double kGraphQueryRows = 6400;
inline bool long_batch(std::size_t items, std::size_t dim) {
  return double(items) * double(dim) * double(kDefaultEfConstruction) >= kLongWork;
}
inline bool long_search(std::size_t queries, std::size_t dim, std::size_t live) {
  return double(queries) * double(dim) * std::min(double(live), kGraphQueryRows) >= kLongWork;
}

}  // namespace hovra::py
