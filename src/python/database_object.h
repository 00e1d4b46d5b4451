// The Database class: construction in open or create-or-open mode, the
// record, batch, search, counting, maintenance and statistics methods, the
// read-only properties, repr(), len(), `in` and the context manager.
#pragma once

#include <Python.h>

#include <memory>
#include <string>

#include "core/db/database.h"

namespace hovra::py {

// The engine behind an open Database object; ValueError (through guarded)
// once it is closed. Callers that release the interpreter lock keep the
// returned reference for the whole call, so a close() meanwhile cannot free
// it.
std::shared_ptr<Database> engine_of(PyObject* self);

// Creates the class; once per process.
PyTypeObject* create_database_type();

PyObject* new_database_object(std::shared_ptr<Database> engine, const std::string& path);

}  // namespace hovra::py
