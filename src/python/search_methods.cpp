// The Database's searches: search, search_many and search_arrays, their
// shared options, the batch-search runner (a LongCall, so that Ctrl-C
// interrupts it and show_progress can display it) and the one-time hint
// that a BLAS-backed build would scan faster.
#include "python/result_objects.h"
#include "python/search_methods.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "core/db/database.h"
#include "core/index/exhaustive_scan.h"
#include "python/arguments.h"
#include "python/arrow_output.h"
#include "python/convert.h"
#include "python/database_calls.h"
#include "python/database_docs.h"
#include "python/database_object.h"
#include "python/errors.h"
#include "python/long_call.h"
#include "python/method_descr.h"
#include "python/py_ref.h"
#include "python/search_result.h"

namespace hovra::py {

namespace {

const Signature kSearchSig{"Database.search", {"vector", "k", "ef_search", "where_filter", "max_distance"}, 5, 1};
const Signature kSearchManySig{
    "Database.search_many", {"vectors", "k", "ef_search", "where_filter", "max_distance", "show_progress"}, 6, 1, 5};

// The arguments after the query: k, ef_search, where_filter (type only) and
// max_distance, in that order.
struct SearchOptions {
  std::uint64_t k = kDefaultK;
  std::optional<std::uint64_t> ef_search;
  PyObject* where_filter = nullptr;
  std::optional<double> max_distance;

  bool extract(const BoundArgs& a) {
    if (PyObject* obj = a.given(1)) {
      if (!count_arg(obj, "k", k)) return false;
    }
    if (!optional_count(a.given(2), "ef_search", ef_search)) return false;
    where_filter = a.given(3);
    if (where_filter != nullptr && !dict_arg(where_filter, "where_filter")) return false;
    if (PyObject* obj = a.given(4)) {
      double value = 0.0;
      if (!double_arg(obj, "max_distance", value)) return false;
      max_distance = value;
    }
    return true;
  }

  // Builds the filter (after the query was converted) and the parameters.
  bool params(std::shared_ptr<const Filter>& filter, SearchParams& out) const {
    if (where_filter != nullptr && !filter_from_python(where_filter, filter)) return false;
    out.k = static_cast<std::size_t>(k);
    if (ef_search) out.ef_search = static_cast<std::size_t>(*ef_search);
    out.filter = filter.get();
    out.shared_filter = filter;
    out.max_distance = max_distance;
    return true;
  }
};

// The hint that a BLAS-backed build would scan faster: written once per
// process to sys.stderr (so a caller that replaced sys.stderr receives it),
// after the first search that scanned every row in a build whose scan
// scores without a matrix product. A BLAS-backed build never writes it.
const char* const kScanHintText =
    "hovra: brute-force search would be ~5x faster with BLAS. Install OpenBLAS:\n"
    "  conda install -c conda-forge openblas   # or via vcpkg\n"
    "  Then rebuild: pip install --force-reinstall hovra\n";
std::atomic<bool> g_scan_hint_written{false};

// Whether the search just made calls for the hint. Asked on the engine's
// side of the call, without the interpreter lock (it may wait for the
// index lock), and only until the hint has been written.
bool scan_hint_due(const Database& db) {
  if (scan_uses_matrix_product() || g_scan_hint_written.load(std::memory_order_relaxed)) return false;
  return db.scans_every_row();
}

// Writes the hint unless it was written before. A failure to write is
// ignored: the hint is advice, never an error of the search.
void write_scan_hint() {
  if (g_scan_hint_written.exchange(true)) return;
  PyObject* err = PySys_GetObject("stderr");  // borrowed
  if (err == nullptr || err == Py_None) return;
  PyRef written = PyRef::steal(PyObject_CallMethod(err, "write", "s", kScanHintText));
  if (written) PyRef flushed = PyRef::steal(PyObject_CallMethod(err, "flush", nullptr));
  PyErr_Clear();
}

PyObject* db_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    BoundArgs a;
    if (!bind_arguments(kSearchSig, args, nargs, kwnames, a)) return nullptr;
    VectorArg vector_arg;
    if (!vector_arg.extract(a.raw(0), "vector", /*allow_row=*/true)) return nullptr;
    SearchOptions options;
    if (!options.extract(a)) return nullptr;
    std::vector<float> query;
    if (!vector_arg.finish(query)) return nullptr;
    std::shared_ptr<const Filter> filter;
    SearchParams params;
    if (!options.params(filter, params)) return nullptr;

    std::shared_ptr<Database> db = engine_of(self);
    bool hint = false;
    Result<std::vector<SearchHit>> hits = without_gil([&] {
      Result<std::vector<SearchHit>> found = db->search(query, params);
      hint = found.ok() && scan_hint_due(*db);
      return found;
    });
    if (!hits.ok()) return raise_engine_error(hits.error());
    if (hint) write_scan_hint();
    return hits_to_list(hits.value());
  });
}

// Binds, converts and runs a batch search; false with a Python error set on
// failure. `k` receives the converted k.
bool run_search_many(const Signature& sig, const char* queries_arg, PyObject* self, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames, std::vector<std::vector<SearchHit>>& out, std::uint64_t& k,
                     bool* arrow = nullptr) {
  BoundArgs a;
  if (!bind_arguments(sig, args, nargs, kwnames, a)) return false;
  if (arrow != nullptr) {
    *arrow = false;
    if (PyObject* obj = a.given(6); obj != nullptr && !flag_arg(obj, "arrow", *arrow)) return false;
  }
  BatchArg batch_arg;
  if (!batch_arg.extract(a.raw(0), queries_arg)) return false;
  SearchOptions options;
  if (!options.extract(a)) return false;
  bool show_progress = false;
  if (!progress_flag(a.given(5), show_progress)) return false;
  k = options.k;
  std::vector<std::vector<float>> queries;
  if (!batch_arg.finish(queries)) return false;
  std::shared_ptr<const Filter> filter;
  SearchParams params;
  if (!options.params(filter, params)) return false;

  std::shared_ptr<Database> db = engine_of(self);
  const char* dot = std::strrchr(sig.function, '.');
  LongCall call(dot != nullptr ? dot + 1 : sig.function);
  if (!start_long_call(call, show_progress)) return false;
  // The live count is only a hint; a writer holding the index (the search
  // will wait for it) must not make this thread wait with the lock held.
  std::size_t live = db->try_len().value_or(std::numeric_limits<std::size_t>::max());
  bool long_expected = long_search(queries.size(), db->dim(), live);
  bool hint = false;
  Result<std::vector<std::vector<SearchHit>>> results = call.run(
      [&] {
        Result<std::vector<std::vector<SearchHit>>> found = db->search_many(queries, params, call.progress());
        hint = found.ok() && !queries.empty() && scan_hint_due(*db);
        return found;
      },
      long_expected);
  if (call.raise_if_interrupted()) return false;
  if (!results.ok()) {
    raise_engine_error(results.error());
    return false;
  }
  if (hint) write_scan_hint();
  out = std::move(results.value());
  return true;
}

PyObject* db_search_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    std::vector<std::vector<SearchHit>> lists;
    std::uint64_t k = 0;
    if (!run_search_many(kSearchManySig, "vectors", self, args, nargs, kwnames, lists, k)) return nullptr;
    PyRef outer = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(lists.size())));
    if (!outer) return nullptr;
    for (std::size_t i = 0; i < lists.size(); ++i) {
      PyObject* inner = hits_to_list(lists[i]);
      if (inner == nullptr) return nullptr;
      PyList_SET_ITEM(outer.get(), static_cast<Py_ssize_t>(i), inner);
    }
    return outer.release();
  });
}

const Signature kSearchArraysSig{
    "Database.search_arrays",
    {"queries", "k", "ef_search", "where_filter", "max_distance", "show_progress", "arrow"},
    7,
    1,
    5};

PyObject* db_search_arrays(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    if (!numpy_available()) {
      PyErr_SetString(PyExc_ImportError, "search_arrays needs NumPy");
      return nullptr;
    }
    std::vector<std::vector<SearchHit>> lists;
    std::uint64_t k = 0;
    bool arrow = false;
    if (!run_search_many(kSearchArraysSig, "queries", self, args, nargs, kwnames, lists, k, &arrow)) return nullptr;
    if (arrow) return hits_to_arrow(lists);
    if (k > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
      PyErr_SetString(PyExc_OverflowError, "k is too large for the result arrays");
      return nullptr;
    }
    return hits_to_arrays(lists, static_cast<std::size_t>(k));
  });
}

const MethodSpec kSearchMethods[] = {
    {"search", db_search, "($self, vector, k=10, ef_search=None, where_filter=None, max_distance=None)",
     docs::kSearch},
    {"search_many", db_search_many,
     "($self, vectors, k=10, ef_search=None, where_filter=None, max_distance=None, *, show_progress=False)",
     docs::kSearchMany},
    {"search_arrays", db_search_arrays,
     "($self, queries, k=10, ef_search=None, where_filter=None, max_distance=None, *, show_progress=False, "
     "arrow=False)",
     docs::kSearchArrays},
    {nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

bool add_search_methods(PyTypeObject* type) { return add_methods(type, kSearchMethods); }

}  // namespace hovra::py
