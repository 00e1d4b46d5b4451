// Building pyarrow tables from engine results: the columns are made from
// Python lists and one bytes buffer of floats, through pyarrow's own
// constructors, so that pyarrow stays an optional dependency that is only
// imported here.
#include "python/arrow_output.h"

#include <cstring>
#include <string>

#include "python/arguments.h"
#include "python/batch_docs.h"
#include "python/convert.h"
#include "python/database_object.h"
#include "python/errors.h"
#include "python/method_descr.h"
#include "python/py_ref.h"
#include "python/result_objects.h"

namespace hovra::py {

namespace {

PyRef import_pyarrow() {
  PyRef pa = PyRef::steal(PyImport_ImportModule("pyarrow"));
  if (!pa) {
    PyErr_Clear();
    PyErr_SetString(PyExc_ImportError, "Arrow tables need pyarrow: pip install 'hovra[arrow]'");
  }
  return pa;
}

// pa.<type>(): a pyarrow data type.
PyRef arrow_type(PyObject* pa, const char* name) { return PyRef::steal(PyObject_CallMethod(pa, name, nullptr)); }

// pa.array(list, type=pa.<type_name>()).
PyRef arrow_array(PyObject* pa, PyObject* list, const char* type_name) {
  PyRef type = arrow_type(pa, type_name);
  if (!type) return PyRef();
  PyRef array_fn = PyRef::steal(PyObject_GetAttrString(pa, "array"));
  PyRef args = PyRef::steal(PyTuple_Pack(1, list));
  PyRef kwargs = PyRef::steal(Py_BuildValue("{s:O}", "type", type.get()));
  if (!array_fn || !args || !kwargs) return PyRef();
  return PyRef::steal(PyObject_Call(array_fn.get(), args.get(), kwargs.get()));
}

// A fixed-size list array of `dim` float32 per row over one buffer.
PyRef vector_array(PyObject* pa, const std::vector<float>& floats, std::size_t dim) {
  PyRef bytes = PyRef::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(floats.data()),
                                                       static_cast<Py_ssize_t>(floats.size() * sizeof(float))));
  if (!bytes) return PyRef();
  PyRef buffer = PyRef::steal(PyObject_CallMethod(pa, "py_buffer", "O", bytes.get()));
  PyRef f32 = arrow_type(pa, "float32");
  if (!buffer || !f32) return PyRef();
  PyRef array_cls = PyRef::steal(PyObject_GetAttrString(pa, "Array"));
  if (!array_cls) return PyRef();
  PyRef values = PyRef::steal(PyObject_CallMethod(array_cls.get(), "from_buffers", "On[OO]", f32.get(),
                                                  static_cast<Py_ssize_t>(floats.size()), Py_None, buffer.get()));
  if (!values) return PyRef();
  PyRef list_cls = PyRef::steal(PyObject_GetAttrString(pa, "FixedSizeListArray"));
  if (!list_cls) return PyRef();
  return PyRef::steal(
      PyObject_CallMethod(list_cls.get(), "from_arrays", "On", values.get(), static_cast<Py_ssize_t>(dim)));
}

// pa.Table.from_arrays(arrays, names=names).
PyRef table_of(PyObject* pa, PyObject* arrays, PyObject* names) {
  PyRef table_cls = PyRef::steal(PyObject_GetAttrString(pa, "Table"));
  if (!table_cls) return PyRef();
  PyRef from_arrays = PyRef::steal(PyObject_GetAttrString(table_cls.get(), "from_arrays"));
  PyRef args = PyRef::steal(PyTuple_Pack(1, arrays));
  PyRef kwargs = PyRef::steal(Py_BuildValue("{s:O}", "names", names));
  if (!from_arrays || !args || !kwargs) return PyRef();
  return PyRef::steal(PyObject_Call(from_arrays.get(), args.get(), kwargs.get()));
}

PyObject* text_or_none(const std::optional<std::string>& text) {
  if (!text) Py_RETURN_NONE;
  return str_from(*text);
}

// Appends one column per metadata key (over every record's keys) to a table,
// a column named like one of the table's own taking the prefix
// "metadata.".
PyRef with_metadata_columns(PyObject* pa, PyRef table, const std::vector<RecordRow>& rows) {
  std::string array = "[";
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (i) array += ',';
    array += rows[i].metadata ? *rows[i].metadata : std::string("{}");
  }
  array += ']';
  if (rows.empty()) return table;
  PyRef dicts = PyRef::steal(metadata_text_to_python(array));
  PyRef table_cls = PyRef::steal(PyObject_GetAttrString(pa, "Table"));
  if (!dicts || !table_cls) return PyRef();
  // pa.array infers one struct type from every record's keys.
  PyRef structs = PyRef::steal(PyObject_CallMethod(pa, "array", "O", dicts.get()));
  if (!structs) return PyRef();
  PyRef flat = PyRef::steal(PyObject_CallMethod(table_cls.get(), "from_struct_array", "O", structs.get()));
  if (!flat) return PyRef();
  PyRef names = PyRef::steal(PyObject_GetAttrString(flat.get(), "column_names"));
  PyRef own = PyRef::steal(PyObject_GetAttrString(table.get(), "column_names"));
  if (!names || !own) return PyRef();
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names.get()); ++i) {
    PyObject* name = PyList_GET_ITEM(names.get(), i);
    int clash = PySequence_Contains(own.get(), name);
    if (clash < 0) return PyRef();
    PyRef column_name = clash ? PyRef::steal(PyUnicode_FromFormat("metadata.%U", name)) : PyRef::borrow(name);
    PyRef column = PyRef::steal(PyObject_CallMethod(flat.get(), "column", "n", i));
    if (!column_name || !column) return PyRef();
    table = PyRef::steal(PyObject_CallMethod(table.get(), "append_column", "OO", column_name.get(), column.get()));
    if (!table) return PyRef();
  }
  return table;
}

PyObject* rows_to_arrow(const std::vector<RecordRow>& rows, std::size_t dim, bool include_vectors, bool flatten) {
  PyRef pa = import_pyarrow();
  if (!pa) return nullptr;
  const auto n = static_cast<Py_ssize_t>(rows.size());
  PyRef ids = PyRef::steal(PyList_New(n));
  PyRef metadata = PyRef::steal(PyList_New(n));
  if (!ids || !metadata) return nullptr;
  std::vector<float> floats;
  if (include_vectors) floats.reserve(rows.size() * dim);
  for (Py_ssize_t i = 0; i < n; ++i) {
    const RecordRow& row = rows[static_cast<std::size_t>(i)];
    PyObject* id = str_from(row.id);
    PyObject* text = text_or_none(row.metadata);
    if (id == nullptr || text == nullptr) return nullptr;
    PyList_SET_ITEM(ids.get(), i, id);
    PyList_SET_ITEM(metadata.get(), i, text);
    if (include_vectors) floats.insert(floats.end(), row.vector.begin(), row.vector.end());
  }
  PyRef arrays = PyRef::steal(PyList_New(0));
  PyRef names = PyRef::steal(PyList_New(0));
  if (!arrays || !names) return nullptr;
  auto add = [&](const char* name, PyRef array) {
    PyRef text = PyRef::steal(PyUnicode_FromString(name));
    return array && text && PyList_Append(arrays.get(), array.get()) == 0 &&
           PyList_Append(names.get(), text.get()) == 0;
  };
  if (!add("id", arrow_array(pa.get(), ids.get(), "string"))) return nullptr;
  if (include_vectors && !add("vector", vector_array(pa.get(), floats, dim))) return nullptr;
  if (!flatten && !add("metadata", arrow_array(pa.get(), metadata.get(), "string"))) return nullptr;
  PyRef table = table_of(pa.get(), arrays.get(), names.get());
  if (!table) return nullptr;
  if (flatten) table = with_metadata_columns(pa.get(), std::move(table), rows);
  return table.release();
}

const Signature kToArrowSig{"Database.to_arrow", {"where_filter", "include_vectors", "flatten_metadata"}, 3, 0, 1};

PyObject* db_to_arrow(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    BoundArgs a;
    if (!bind_arguments(kToArrowSig, args, nargs, kwnames, a)) return nullptr;
    PyObject* where_filter = a.given(0);
    if (where_filter != nullptr && !dict_arg(where_filter, "where_filter")) return nullptr;
    bool include_vectors = true, flatten = false;
    if (PyObject* obj = a.given(1)) {
      if (!flag_arg(obj, "include_vectors", include_vectors)) return nullptr;
    }
    if (PyObject* obj = a.given(2)) {
      if (!flag_arg(obj, "flatten_metadata", flatten)) return nullptr;
    }
    Filter filter;
    if (where_filter != nullptr && !filter_from_python(where_filter, filter)) return nullptr;
    if (!import_pyarrow()) return nullptr;
    std::shared_ptr<Database> db = engine_of(self);
    PageRequest request;
    request.filter = where_filter != nullptr ? &filter : nullptr;
    request.limit = static_cast<std::size_t>(-1);
    request.include_vectors = include_vectors;
    std::vector<RecordRow> rows = without_gil([&] { return db->records_page(request); });
    return rows_to_arrow(rows, db->dim(), include_vectors, flatten);
  });
}

const MethodSpec kMethods[] = {
    {"to_arrow", db_to_arrow, "($self, where_filter=None, *, include_vectors=True, flatten_metadata=False)",
     docs::kToArrow},
    {nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyObject* hits_to_arrow(const std::vector<std::vector<SearchHit>>& lists) {
  PyRef pa = import_pyarrow();
  if (!pa) return nullptr;
  Py_ssize_t n = 0;
  for (const auto& hits : lists) n += static_cast<Py_ssize_t>(hits.size());
  PyRef query = PyRef::steal(PyList_New(n)), rank = PyRef::steal(PyList_New(n)), ids = PyRef::steal(PyList_New(n)),
        distance = PyRef::steal(PyList_New(n)), metadata = PyRef::steal(PyList_New(n));
  if (!query || !rank || !ids || !distance || !metadata) return nullptr;
  Py_ssize_t at = 0;
  for (std::size_t q = 0; q < lists.size(); ++q) {
    for (std::size_t r = 0; r < lists[q].size(); ++r, ++at) {
      const SearchHit& hit = lists[q][r];
      PyObject* items[] = {PyLong_FromSize_t(q), PyLong_FromSize_t(r), str_from(hit.id),
                           PyFloat_FromDouble(static_cast<double>(hit.distance)), text_or_none(hit.metadata)};
      PyObject* columns[] = {query.get(), rank.get(), ids.get(), distance.get(), metadata.get()};
      for (int c = 0; c < 5; ++c) {
        if (items[c] == nullptr) {
          for (PyObject* item : items) Py_XDECREF(item);
          return nullptr;
        }
      }
      for (int c = 0; c < 5; ++c) PyList_SET_ITEM(columns[c], at, items[c]);
    }
  }
  const char* names_of[] = {"query", "rank", "id", "distance", "metadata"};
  const char* types_of[] = {"int64", "int32", "string", "float32", "string"};
  PyObject* columns[] = {query.get(), rank.get(), ids.get(), distance.get(), metadata.get()};
  PyRef arrays = PyRef::steal(PyList_New(0)), names = PyRef::steal(PyList_New(0));
  if (!arrays || !names) return nullptr;
  for (int c = 0; c < 5; ++c) {
    PyRef array = arrow_array(pa.get(), columns[c], types_of[c]);
    PyRef name = PyRef::steal(PyUnicode_FromString(names_of[c]));
    if (!array || !name || PyList_Append(arrays.get(), array.get()) != 0 ||
        PyList_Append(names.get(), name.get()) != 0)
      return nullptr;
  }
  return table_of(pa.get(), arrays.get(), names.get()).release();
}

bool add_arrow_methods(PyTypeObject* type) { return add_methods(type, kMethods); }

}  // namespace hovra::py
