// The Database methods over many records at once (add_many, upsert_many,
// get_many, records, delete_many, delete_where, update_many), the iterator records() returns,
// and the prepared batches of a two-phase commit (commit_prepared,
// abort_prepared, prepared_transactions).
#pragma once

#include <Python.h>

#include <optional>
#include <string>

namespace hovra::py {

// Adds the methods to the Database class and creates the iterator class;
// once per process.
bool add_record_methods(PyTypeObject* type);

// The keyword `prepare` of the batch writes: absent or None leaves `out`
// empty; otherwise a non-empty str, the transaction id.
bool transaction_arg(PyObject* obj, std::optional<std::string>& out);

}  // namespace hovra::py
