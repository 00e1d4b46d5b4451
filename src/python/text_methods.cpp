// Text, sparse and hybrid retrieval on the Database class: create_text_index,
// drop_text_index, wait_text_index, text_search, sparse_search,
// hybrid_search, text_stats, get_sparse and the text_index property, and the
// conversion of sparse vectors from Python. Each method converts its
// arguments holding the interpreter lock and releases it for the engine.
#include "python/result_objects.h"
#include "python/text_methods.h"

#include <cmath>
#include <optional>
#include <string>

#include "core/base/defaults.h"
#include "core/db/database.h"
#include "python/arguments.h"
#include "python/convert.h"
#include "python/database_calls.h"
#include "python/database_object.h"
#include "python/errors.h"
#include "python/long_call.h"
#include "python/py_ref.h"
#include "python/search_result.h"

namespace hovra::py {

namespace {

// A sequence (or an array, through tolist()) of numbers as doubles, or of
// non-negative integers below 2**32 as indices.
PyRef as_list(PyObject* obj, const char* arg) {
  if (PyObject_HasAttrString(obj, "tolist")) {
    PyRef listed = PyRef::steal(PyObject_CallMethod(obj, "tolist", nullptr));
    if (!listed) return listed;
    obj = listed.get();
    return PyRef::steal(PySequence_Fast(obj, arg));
  }
  if (PyUnicode_Check(obj) || PyBytes_Check(obj) || PyDict_Check(obj)) {
    raise_type_error(std::string("argument '") + arg + "': expected a sequence of numbers");
    return PyRef();
  }
  PyRef seq = PyRef::steal(PySequence_Fast(obj, "expected a sequence of numbers"));
  if (!seq) prefix_type_error(arg);
  return seq;
}

bool index_list(PyObject* obj, const char* arg, std::vector<std::uint32_t>& out) {
  PyRef seq = as_list(obj, arg);
  if (!seq) return false;
  Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
  out.resize(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(seq.get(), i);
    if (PyFloat_Check(item)) {
      raise_type_error(std::string("argument '") + arg + "': sparse indices must be integers");
      return false;
    }
    std::uint64_t v = 0;
    if (!count_arg(item, arg, v)) return false;
    if (v > 0xFFFFFFFFull) {
      raise_value_error(std::string(arg) + ": sparse indices must be below 2**32");
      return false;
    }
    out[static_cast<std::size_t>(i)] = static_cast<std::uint32_t>(v);
  }
  return true;
}

bool value_list(PyObject* obj, const char* arg, std::vector<float>& out) {
  PyRef seq = as_list(obj, arg);
  if (!seq) return false;
  Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
  out.resize(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (!float_arg(PySequence_Fast_GET_ITEM(seq.get(), i), arg, out[static_cast<std::size_t>(i)])) return false;
  }
  return true;
}

bool is_scipy_sparse(PyObject* obj) {
  return PyObject_HasAttrString(obj, "tocsr") && PyObject_HasAttrString(obj, "shape");
}

// The CSR form of a SciPy sparse matrix or array: its rows, indptr,
// indices and data as lists.
struct Csr {
  std::size_t rows = 0;
  std::vector<std::uint32_t> indptr_pos;  // unused
  PyRef indptr, indices, data;
};

bool csr_of(PyObject* obj, const char* arg, Csr& out) {
  PyRef csr = PyRef::steal(PyObject_CallMethod(obj, "tocsr", nullptr));
  if (!csr) return false;
  // Duplicate entries are summed, as SciPy's own arithmetic would.
  PyRef summed = PyRef::steal(PyObject_CallMethod(csr.get(), "sum_duplicates", nullptr));
  if (!summed) return false;
  PyRef shape = PyRef::steal(PyObject_GetAttrString(csr.get(), "shape"));
  if (!shape || !PyTuple_Check(shape.get()) || PyTuple_GET_SIZE(shape.get()) != 2) {
    if (!PyErr_Occurred()) raise_type_error(std::string("argument '") + arg + "': expected a 2-D sparse matrix");
    return false;
  }
  std::uint64_t rows = 0;
  if (!count_arg(PyTuple_GET_ITEM(shape.get(), 0), arg, rows)) return false;
  out.rows = static_cast<std::size_t>(rows);
  PyRef indptr = PyRef::steal(PyObject_GetAttrString(csr.get(), "indptr"));
  PyRef indices = PyRef::steal(PyObject_GetAttrString(csr.get(), "indices"));
  PyRef data = PyRef::steal(PyObject_GetAttrString(csr.get(), "data"));
  if (!indptr || !indices || !data) return false;
  out.indptr = as_list(indptr.get(), arg);
  out.indices = as_list(indices.get(), arg);
  out.data = as_list(data.get(), arg);
  return out.indptr && out.indices && out.data;
}

bool csr_row(const Csr& csr, std::size_t row, const char* arg, SparseVector& out) {
  std::uint64_t begin = 0, end = 0;
  if (!count_arg(PySequence_Fast_GET_ITEM(csr.indptr.get(), static_cast<Py_ssize_t>(row)), arg, begin) ||
      !count_arg(PySequence_Fast_GET_ITEM(csr.indptr.get(), static_cast<Py_ssize_t>(row + 1)), arg, end))
    return false;
  out = SparseVector();
  for (std::uint64_t i = begin; i < end; ++i) {
    std::uint64_t index = 0;
    float value = 0;
    if (!count_arg(PySequence_Fast_GET_ITEM(csr.indices.get(), static_cast<Py_ssize_t>(i)), arg, index)) return false;
    if (!float_arg(PySequence_Fast_GET_ITEM(csr.data.get(), static_cast<Py_ssize_t>(i)), arg, value)) return false;
    if (index > 0xFFFFFFFFull) {
      raise_value_error(std::string(arg) + ": sparse indices must be below 2**32");
      return false;
    }
    out.indices.push_back(static_cast<std::uint32_t>(index));
    out.values.push_back(value);
  }
  return true;
}

bool normalised(SparseVector& v, const char* arg) {
  Status st = normalise_sparse(v, arg);
  if (!st.ok()) {
    raise_engine_error(st.error());
    return false;
  }
  return true;
}

}  // namespace

bool sparse_from_python(PyObject* obj, const char* arg, SparseVector& out) {
  if (PyDict_Check(obj)) {
    PyObject* indices = PyDict_GetItemString(obj, "indices");  // borrowed
    PyObject* values = PyDict_GetItemString(obj, "values");
    if (indices == nullptr || values == nullptr) {
      raise_value_error(std::string(arg) + ": a sparse vector dict needs the keys 'indices' and 'values'");
      return false;
    }
    if (!index_list(indices, arg, out.indices) || !value_list(values, arg, out.values)) return false;
    return normalised(out, arg);
  }
  if (is_scipy_sparse(obj)) {
    Csr csr;
    if (!csr_of(obj, arg, csr)) return false;
    if (csr.rows != 1) {
      raise_value_error(std::string(arg) + ": a sparse matrix of " + std::to_string(csr.rows) +
                        " rows where one row was expected");
      return false;
    }
    return csr_row(csr, 0, arg, out) && normalised(out, arg);
  }
  raise_wrong_type(arg, obj, "sparse vector (dict of indices and values, or a SciPy sparse row)");
  return false;
}

bool sparse_list_from_python(PyObject* obj, const char* arg, std::size_t rows, std::vector<SparseVector>& out) {
  out.assign(rows, SparseVector());
  if (is_scipy_sparse(obj)) {
    Csr csr;
    if (!csr_of(obj, arg, csr)) return false;
    if (csr.rows != rows) {
      raise_value_error(std::string(arg) + " has " + std::to_string(csr.rows) + " rows for " + std::to_string(rows) +
                        " ids");
      return false;
    }
    for (std::size_t i = 0; i < rows; ++i) {
      if (!csr_row(csr, i, arg, out[i]) || !normalised(out[i], arg)) return false;
    }
    return true;
  }
  if (!PyList_Check(obj)) {
    raise_wrong_type(arg, obj, "list of sparse vectors or a SciPy sparse matrix");
    return false;
  }
  if (static_cast<std::size_t>(PyList_GET_SIZE(obj)) != rows) {
    raise_value_error(std::string(arg) + " length (" + std::to_string(PyList_GET_SIZE(obj)) + ") != ids length (" +
                      std::to_string(rows) + ")");
    return false;
  }
  for (std::size_t i = 0; i < rows; ++i) {
    PyRef item = PyRef::borrow(PyList_GET_ITEM(obj, static_cast<Py_ssize_t>(i)));
    if (item.get() == Py_None) continue;
    if (!sparse_from_python(item.get(), arg, out[i])) return false;
  }
  return true;
}

PyObject* sparse_to_python(const SparseVector& v) {
  PyRef indices = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(v.indices.size())));
  if (!indices) return nullptr;
  for (std::size_t i = 0; i < v.indices.size(); ++i) {
    PyObject* x = PyLong_FromUnsignedLong(v.indices[i]);
    if (x == nullptr) return nullptr;
    PyList_SET_ITEM(indices.get(), static_cast<Py_ssize_t>(i), x);
  }
  PyRef values = PyRef::steal(float_list(v.values));
  if (!values) return nullptr;
  return Py_BuildValue("{sOsO}", "indices", indices.get(), "values", values.get());
}

namespace {

// ------------------------------------------------------------------ text index

const Signature kCreateSig{"Database.create_text_index",
                           {"field", "language", "stemmer", "stopwords", "k1", "b", "wait", "show_progress"},
                           8,
                           1,
                           1};

bool optional_flag(PyObject* obj, const char* arg, bool& out) { return obj == nullptr || flag_arg(obj, arg, out); }

bool optional_double(PyObject* obj, const char* arg, double& out) {
  if (obj == nullptr) return true;
  double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) {
    prefix_type_error(arg);
    return false;
  }
  out = v;
  return true;
}

PyObject* db_create_text_index(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    BoundArgs a;
    if (!bind_arguments(kCreateSig, args, nargs, kwnames, a)) return nullptr;
    TextIndexSpec spec;
    if (!text_arg(a.raw(0), "field", spec.field)) return nullptr;
    if (PyObject* obj = a.given(1)) {
      if (!text_arg(obj, "language", spec.language)) return nullptr;
    }
    bool wait = false, show_progress = false;
    if (!optional_flag(a.given(2), "stemmer", spec.stemmer) ||
        !optional_flag(a.given(3), "stopwords", spec.stopwords) || !optional_double(a.given(4), "k1", spec.k1) ||
        !optional_double(a.given(5), "b", spec.b) || !optional_flag(a.given(6), "wait", wait) ||
        !optional_flag(a.given(7), "show_progress", show_progress))
      return nullptr;
    std::shared_ptr<Database> db = writable_engine_of(self);
    if (!wait) return status_result(without_gil([&] { return db->create_text_index(spec, true); }));
    LongCall call("create_text_index");
    if (show_progress && !call.show_progress()) return nullptr;
    Status status = call.run([&] { return db->create_text_index(spec, false, call.progress()); });
    if (call.raise_if_interrupted()) return nullptr;
    return status_result(status);
  });
}

const Signature kWaitSig{"Database.wait_text_index", {"show_progress"}, 1, 0, 0};

PyObject* db_wait_text_index(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    BoundArgs a;
    if (!bind_arguments(kWaitSig, args, nargs, kwnames, a)) return nullptr;
    bool show_progress = false;
    if (!optional_flag(a.given(0), "show_progress", show_progress)) return nullptr;
    std::shared_ptr<Database> db = engine_of(self);
    LongCall call("wait_text_index");
    if (show_progress && !call.show_progress()) return nullptr;
    Status status = call.run([&] { return db->wait_text_index(call.progress()); });
    if (call.raise_if_interrupted()) return nullptr;
    return status_result(status);
  });
}

const Signature kDropSig{"Database.drop_text_index", {}, 0, 0};

PyObject* db_drop_text_index(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    BoundArgs a;
    if (!bind_arguments(kDropSig, args, nargs, kwnames, a)) return nullptr;
    std::shared_ptr<Database> db = writable_engine_of(self);
    return status_result(without_gil([&] { return db->drop_text_index(); }));
  });
}

// ---------------------------------------------------------------------- search

bool k_arg(PyObject* obj, std::uint64_t& k) {
  k = kDefaultK;
  return obj == nullptr || count_arg(obj, "k", k);
}

bool filter_arg(PyObject* obj, Filter& filter, const Filter*& out) {
  out = nullptr;
  if (obj == nullptr) return true;
  if (!dict_arg(obj, "where_filter") || !filter_from_python(obj, filter)) return false;
  out = &filter;
  return true;
}

// {"documents": N, "total_length": L, "document_frequency": {term: df}}
bool stats_from_python(PyObject* obj, CorpusStats& out) {
  if (!PyDict_Check(obj)) {
    raise_wrong_type("corpus_stats", obj, "dict");
    return false;
  }
  PyObject* documents = PyDict_GetItemString(obj, "documents");
  PyObject* total = PyDict_GetItemString(obj, "total_length");
  PyObject* df = PyDict_GetItemString(obj, "document_frequency");
  if (documents == nullptr || total == nullptr || df == nullptr || !PyDict_Check(df)) {
    raise_value_error("corpus_stats needs 'documents', 'total_length' and a dict 'document_frequency'");
    return false;
  }
  std::uint64_t n = 0, t = 0;
  if (!count_arg(documents, "documents", n) || !count_arg(total, "total_length", t)) return false;
  out.documents = n;
  out.total_length = t;
  PyObject *key, *value;
  Py_ssize_t pos = 0;
  while (PyDict_Next(df, &pos, &key, &value)) {
    std::string term;
    std::uint64_t count = 0;
    if (!text_arg(key, "document_frequency", term) || !count_arg(value, "document_frequency", count)) return false;
    out.document_frequency[term] = count;
  }
  return true;
}

PyObject* stats_to_python(const CorpusStats& s) {
  PyRef df = PyRef::steal(PyDict_New());
  if (!df) return nullptr;
  for (const auto& [term, count] : s.document_frequency) {
    PyRef v = PyRef::steal(PyLong_FromUnsignedLongLong(count));
    if (!v || PyDict_SetItemString(df.get(), term.c_str(), v.get()) < 0) return nullptr;
  }
  return Py_BuildValue("{sKsKsO}", "documents", static_cast<unsigned long long>(s.documents), "total_length",
                       static_cast<unsigned long long>(s.total_length), "document_frequency", df.get());
}

const Signature kTextSearchSig{"Database.text_search", {"text", "k", "where_filter", "corpus_stats"}, 4, 1, 3};

PyObject* db_text_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    BoundArgs a;
    if (!bind_arguments(kTextSearchSig, args, nargs, kwnames, a)) return nullptr;
    std::string text;
    if (!text_arg(a.raw(0), "text", text)) return nullptr;
    std::uint64_t k;
    if (!k_arg(a.given(1), k)) return nullptr;
    Filter filter;
    const Filter* f;
    if (!filter_arg(a.given(2), filter, f)) return nullptr;
    std::optional<CorpusStats> stats;
    if (PyObject* obj = a.given(3)) {
      stats.emplace();
      if (!stats_from_python(obj, *stats)) return nullptr;
    }
    std::shared_ptr<Database> db = engine_of(self);
    Result<std::vector<SearchHit>> hits = without_gil([&] {
      return stats ? db->text_search_with(text, static_cast<std::size_t>(k), f, *stats)
                   : db->text_search(text, static_cast<std::size_t>(k), f);
    });
    if (!hits.ok()) return raise_engine_error(hits.error());
    return hits_to_list(hits.value());
  });
}

const Signature kTextStatsSig{"Database.text_stats", {"text"}, 1, 1};

PyObject* db_text_stats(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    BoundArgs a;
    if (!bind_arguments(kTextStatsSig, args, nargs, kwnames, a)) return nullptr;
    std::string text;
    if (!text_arg(a.raw(0), "text", text)) return nullptr;
    std::shared_ptr<Database> db = engine_of(self);
    Result<CorpusStats> stats = without_gil([&] { return db->text_stats(text); });
    if (!stats.ok()) return raise_engine_error(stats.error());
    return stats_to_python(stats.value());
  });
}

const Signature kSparseSearchSig{"Database.sparse_search", {"sparse_query", "k", "where_filter"}, 3, 1};

PyObject* db_sparse_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    BoundArgs a;
    if (!bind_arguments(kSparseSearchSig, args, nargs, kwnames, a)) return nullptr;
    SparseVector query;
    if (!sparse_from_python(a.raw(0), "sparse_query", query)) return nullptr;
    std::uint64_t k;
    if (!k_arg(a.given(1), k)) return nullptr;
    Filter filter;
    const Filter* f;
    if (!filter_arg(a.given(2), filter, f)) return nullptr;
    std::shared_ptr<Database> db = engine_of(self);
    Result<std::vector<SearchHit>> hits =
        without_gil([&] { return db->sparse_search(query, static_cast<std::size_t>(k), f); });
    if (!hits.ok()) return raise_engine_error(hits.error());
    return hits_to_list(hits.value());
  });
}

const Signature kHybridSig{
    "Database.hybrid_search",
    {"vector", "text", "sparse", "k", "where_filter", "fusion", "weights", "candidates", "rrf_k", "ef_search"},
    10,
    0,
    7};

// None, a dict {"vector": w, "text": w, "sparse": w} (missing: 1.0) or a
// sequence of three.
bool weights_arg(PyObject* obj, std::array<double, 3>& out) {
  out = {1.0, 1.0, 1.0};
  if (obj == nullptr) return true;
  static constexpr const char* kNames[3] = {"vector", "text", "sparse"};
  if (PyDict_Check(obj)) {
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(obj, &pos, &key, &value)) {
      std::string name;
      if (!text_arg(key, "weights", name)) return false;
      int which = -1;
      for (int i = 0; i < 3; ++i)
        if (name == kNames[i]) which = i;
      if (which < 0) {
        raise_value_error("weights: unknown retriever '" + name + "' (use 'vector', 'text' or 'sparse')");
        return false;
      }
      if (!optional_double(value, "weights", out[static_cast<std::size_t>(which)])) return false;
    }
    return true;
  }
  PyRef seq = PyRef::steal(PySequence_Fast(obj, "argument 'weights': expected a dict or a sequence of 3 numbers"));
  if (!seq) return false;
  if (PySequence_Fast_GET_SIZE(seq.get()) != 3) {
    raise_value_error("weights must hold 3 numbers (vector, text, sparse)");
    return false;
  }
  for (Py_ssize_t i = 0; i < 3; ++i)
    if (!optional_double(PySequence_Fast_GET_ITEM(seq.get(), i), "weights", out[static_cast<std::size_t>(i)]))
      return false;
  return true;
}

PyObject* db_hybrid_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    BoundArgs a;
    if (!bind_arguments(kHybridSig, args, nargs, kwnames, a)) return nullptr;
    HybridQuery q;
    VectorArg vector_arg;
    std::vector<float> vector;
    std::string text;
    SparseVector sparse;
    if (PyObject* obj = a.given(0)) {
      if (!vector_arg.extract(obj, "vector", /*allow_row=*/true)) return nullptr;
    }
    if (PyObject* obj = a.given(1)) {
      if (!text_arg(obj, "text", text)) return nullptr;
      q.text = &text;
    }
    if (PyObject* obj = a.given(2)) {
      if (!sparse_from_python(obj, "sparse", sparse)) return nullptr;
      q.sparse = &sparse;
    }
    std::uint64_t k;
    if (!k_arg(a.given(3), k)) return nullptr;
    q.k = static_cast<std::size_t>(k);
    if (PyObject* obj = a.given(5)) {
      std::string fusion;
      if (!text_arg(obj, "fusion", fusion)) return nullptr;
      if (fusion == "rrf") {
        q.fusion = HybridQuery::Fusion::Rrf;
      } else if (fusion == "weighted") {
        q.fusion = HybridQuery::Fusion::Weighted;
      } else {
        return raise_value_error("fusion must be 'rrf' or 'weighted', not '" + fusion + "'");
      }
    }
    if (!weights_arg(a.given(6), q.weights)) return nullptr;
    std::optional<std::uint64_t> candidates, ef;
    if (PyObject* obj = a.given(7)) {
      std::uint64_t v = 0;
      if (!count_arg(obj, "candidates", v)) return nullptr;
      candidates = v;
    }
    if (!optional_double(a.given(8), "rrf_k", q.rrf_k)) return nullptr;
    if (PyObject* obj = a.given(9)) {
      std::uint64_t v = 0;
      if (!count_arg(obj, "ef_search", v)) return nullptr;
      ef = v;
    }
    if (candidates) q.candidates = static_cast<std::size_t>(*candidates);
    if (ef) q.ef_search = static_cast<std::size_t>(*ef);
    if (a.given(0) != nullptr) {
      if (!vector_arg.finish(vector)) return nullptr;
      q.vector = &vector;
    }
    Filter filter;
    if (!filter_arg(a.given(4), filter, q.filter)) return nullptr;
    std::shared_ptr<Database> db = engine_of(self);
    Result<std::vector<SearchHit>> hits = without_gil([&] { return db->hybrid_search(q); });
    if (!hits.ok()) return raise_engine_error(hits.error());
    return hits_to_list(hits.value());
  });
}

const Signature kGetSparseSig{"Database.get_sparse", {"id"}, 1, 1};

PyObject* db_get_sparse(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    BoundArgs a;
    if (!bind_arguments(kGetSparseSig, args, nargs, kwnames, a)) return nullptr;
    std::string id;
    if (!text_arg(a.raw(0), "id", id)) return nullptr;
    Result<SparseVector> v = engine_of(self)->get_sparse(id);
    if (!v.ok()) return raise_engine_error(v.error());
    if (v.value().empty()) Py_RETURN_NONE;
    return sparse_to_python(v.value());
  });
}

}  // namespace

PyObject* get_text_index(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    std::optional<TextIndexInfo> info = engine_of(self)->text_index_info();
    if (!info) Py_RETURN_NONE;
    const TextIndexSpec& s = info->spec;
    return Py_BuildValue("{sssssOsOsdsdsOsKsKsKsK}", "field", s.field.c_str(), "language", s.language.c_str(),
                         "stemmer", s.stemmer ? Py_True : Py_False, "stopwords", s.stopwords ? Py_True : Py_False,
                         "k1", s.k1, "b", s.b, "building", info->building ? Py_True : Py_False, "indexed",
                         static_cast<unsigned long long>(info->indexed_slots), "total",
                         static_cast<unsigned long long>(info->total_slots), "documents",
                         static_cast<unsigned long long>(info->documents), "terms",
                         static_cast<unsigned long long>(info->terms));
  });
}

}  // namespace hovra::py

#include "python/text_docs.h"

namespace hovra::py {

const MethodSpec kTextMethods[] = {
    {"create_text_index", db_create_text_index,
     "($self, field, *, language='english', stemmer=True, stopwords=True, k1=1.2, b=0.75, wait=False, "
     "show_progress=False)",
     docs::kCreateTextIndex},
    {"drop_text_index", db_drop_text_index, "($self)", docs::kDropTextIndex},
    {"wait_text_index", db_wait_text_index, "($self, *, show_progress=False)", docs::kWaitTextIndex},
    {"text_search", db_text_search, "($self, text, k=10, where_filter=None, *, corpus_stats=None)",
     docs::kTextSearch},
    {"text_stats", db_text_stats, "($self, text)", docs::kTextStats},
    {"sparse_search", db_sparse_search, "($self, sparse_query, k=10, where_filter=None)", docs::kSparseSearch},
    {"hybrid_search", db_hybrid_search,
     "($self, vector=None, text=None, sparse=None, k=10, where_filter=None, fusion='rrf', weights=None, *, "
     "candidates=None, rrf_k=60.0, ef_search=None)",
     docs::kHybridSearch},
    {"get_sparse", db_get_sparse, "($self, id)", docs::kGetSparse},
    {nullptr, nullptr, nullptr, nullptr},
};

}  // namespace hovra::py
