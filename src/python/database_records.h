// The Database methods over many records at once (get_many, records,
// delete_many, delete_where, update_many) and the iterator records()
// returns.
#pragma once

#include <Python.h>

namespace hovra::py {

// Adds the methods to the Database class and creates the iterator class;
// once per process.
bool add_record_methods(PyTypeObject* type);

}  // namespace hovra::py
