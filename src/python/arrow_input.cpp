// Importing Arrow batches of vectors through the PyCapsule interface: the
// schema check (fixed-size lists of float32 or float64), each chunk's
// validity and bounds, and the rows where they lie.
#include "python/arrow_input.h"

#include <cstring>
#include <string>
#include <utility>

#include "python/errors.h"
#include "python/py_ref.h"

namespace hovra::py {

namespace {

// Takes a struct out of its capsule: the capsule's copy is marked released,
// so the capsule's destructor leaves the data to this side.
template <class T>
bool take_capsule(PyObject* capsule, const char* name, T& out) {
  auto* src = static_cast<T*>(PyCapsule_GetPointer(capsule, name));
  if (src == nullptr) return false;
  if (src->release == nullptr) {
    PyErr_Format(PyExc_ValueError, "the Arrow %s capsule was already consumed", name);
    return false;
  }
  out = *src;
  src->release = nullptr;
  return true;
}

bool fail_type(const char* arg, const std::string& detail) {
  raise_type_error(std::string("argument '") + arg + "': " + detail);
  return false;
}

// Whether any of `length` validity bits from `offset` is clear.
bool has_nulls(const ArrowArray& a) {
  if (a.null_count == 0 || a.n_buffers < 1 || a.buffers[0] == nullptr) return false;
  const auto* bits = static_cast<const std::uint8_t*>(a.buffers[0]);
  for (std::int64_t i = a.offset; i < a.offset + a.length; ++i)
    if (((bits[i >> 3] >> (i & 7)) & 1) == 0) return true;
  return false;
}

}  // namespace

ArrowRows::~ArrowRows() {
  for (ArrowArray& chunk : chunks_)
    if (chunk.release) chunk.release(&chunk);
  if (schema_.release) schema_.release(&schema_);
}

bool ArrowRows::offered(PyObject* obj) {
  return PyObject_HasAttrString(obj, "__arrow_c_array__") || PyObject_HasAttrString(obj, "__arrow_c_stream__");
}

bool ArrowRows::check_schema(const char* arg) {
  const std::string format = schema_.format ? schema_.format : "";
  if (format.rfind("+w:", 0) != 0 || schema_.n_children != 1 || schema_.children[0] == nullptr)
    return fail_type(arg, "an Arrow array of fixed-size lists is expected, got Arrow type format '" + format + "'");
  char* end = nullptr;
  unsigned long long width = std::strtoull(format.c_str() + 3, &end, 10);
  if (end == format.c_str() + 3 || *end != '\0') return fail_type(arg, "bad Arrow format '" + format + "'");
  const std::string item = schema_.children[0]->format ? schema_.children[0]->format : "";
  if (item != "f" && item != "g")
    return fail_type(arg, "Arrow lists of float32 or float64 are expected, got item format '" + item + "'");
  dim_ = static_cast<std::size_t>(width);
  doubles_ = item == "g";
  return true;
}

bool ArrowRows::add_chunk(ArrowArray& chunk, const char* arg) {
  chunks_.push_back(chunk);
  chunk.release = nullptr;
  const ArrowArray& a = chunks_.back();
  if (a.n_children != 1 || a.children == nullptr || a.children[0] == nullptr)
    return fail_type(arg, "an Arrow fixed-size list array has one child array");
  const ArrowArray& values = *a.children[0];
  if (has_nulls(a)) {
    raise_value_error(std::string("argument '") + arg + "': the Arrow array holds null vectors");
    return false;
  }
  if (has_nulls(values)) {
    raise_value_error(std::string("argument '") + arg + "': the Arrow array holds null components");
    return false;
  }
  std::int64_t needed = values.offset + (a.offset + a.length) * static_cast<std::int64_t>(dim_);
  if (a.length < 0 || a.offset < 0 || values.offset < 0 || values.n_buffers < 2 ||
      (values.buffers[1] == nullptr && needed > 0) || values.length + values.offset < needed)
    return fail_type(arg, "the Arrow array's buffers do not hold its rows");
  count_ += static_cast<std::size_t>(a.length);
  return true;
}

bool ArrowRows::import(PyObject* obj, const char* arg) {
  if (PyObject_HasAttrString(obj, "__arrow_c_array__")) {
    PyRef pair = PyRef::steal(PyObject_CallMethod(obj, "__arrow_c_array__", nullptr));
    if (!pair) return false;
    if (!PyTuple_Check(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2)
      return fail_type(arg, "__arrow_c_array__ must return a pair of capsules");
    ArrowArray array{};
    if (!take_capsule(PyTuple_GET_ITEM(pair.get(), 0), "arrow_schema", schema_)) return false;
    if (!take_capsule(PyTuple_GET_ITEM(pair.get(), 1), "arrow_array", array)) return false;
    if (!check_schema(arg)) {
      array.release(&array);
      return false;
    }
    return add_chunk(array, arg);
  }
  PyRef capsule = PyRef::steal(PyObject_CallMethod(obj, "__arrow_c_stream__", nullptr));
  if (!capsule) return false;
  ArrowArrayStream stream{};
  if (!take_capsule(capsule.get(), "arrow_array_stream", stream)) return false;
  struct Release {
    ArrowArrayStream& s;
    ~Release() { s.release(&s); }
  } release{stream};
  if (stream.get_schema(&stream, &schema_) != 0) return fail_type(arg, "the Arrow stream has no schema");
  if (!check_schema(arg)) return false;
  for (;;) {
    ArrowArray chunk{};
    if (stream.get_next(&stream, &chunk) != 0) {
      const char* why = stream.get_last_error ? stream.get_last_error(&stream) : nullptr;
      raise_value_error(std::string("argument '") + arg + "': reading the Arrow stream failed" +
                        (why ? std::string(": ") + why : std::string()));
      return false;
    }
    if (chunk.release == nullptr) break;  // the end of the stream
    if (!add_chunk(chunk, arg)) return false;
  }
  if (chunks_.size() > 1) {
    // Several chunks: their rows, narrowed where needed, in one block.
    joined_.reserve(count_ * dim_);
    for (const ArrowArray& a : chunks_) {
      VectorRows part = VectorRows::strided(
          static_cast<const char*>(a.children[0]->buffers[1]) +
              (a.children[0]->offset + a.offset * static_cast<std::int64_t>(dim_)) * (doubles_ ? 8 : 4),
          static_cast<std::size_t>(a.length), dim_, static_cast<std::ptrdiff_t>(dim_ * (doubles_ ? 8 : 4)),
          doubles_ ? 8 : 4, doubles_ ? VectorRows::Element::F64 : VectorRows::Element::F32);
      RowReader read(part);
      for (std::size_t i = 0; i < part.size(); ++i) {
        const float* row = read(i);
        joined_.insert(joined_.end(), row, row + dim_);
      }
    }
  }
  return true;
}

VectorRows ArrowRows::rows() const {
  if (chunks_.size() > 1) return VectorRows::contiguous(joined_.data(), count_, dim_);
  if (chunks_.empty() || count_ == 0) return VectorRows::contiguous(nullptr, 0, dim_);
  const ArrowArray& a = chunks_.front();
  const std::size_t width = doubles_ ? 8 : 4;
  const char* base = static_cast<const char*>(a.children[0]->buffers[1]) +
                     (a.children[0]->offset + a.offset * static_cast<std::int64_t>(dim_)) * width;
  return VectorRows::strided(base, count_, dim_, static_cast<std::ptrdiff_t>(dim_ * width),
                             static_cast<std::ptrdiff_t>(width),
                             doubles_ ? VectorRows::Element::F64 : VectorRows::Element::F32);
}

}  // namespace hovra::py
