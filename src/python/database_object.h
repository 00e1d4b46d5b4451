// The Database class: construction in open or create-or-open mode, the
// refresh and close methods, the read-only properties, repr(), len(), `in`
// and the context manager; the single-record, search, upkeep, many-record
// and text methods are added from single_record_methods.h, search_methods.h,
// database_upkeep.h, database_records.h and text_methods.h.
#pragma once

#include <Python.h>

#include <memory>
#include <string>

#include "core/db/database.h"
#include "core/db/reader.h"

namespace hovra::py {

// The engine behind an open Database object; ValueError (through guarded)
// once it is closed. Callers that release the interpreter lock keep the
// returned reference for the whole call, so a close() meanwhile cannot free
// it.
//
// A database opened read-only hands out the engine of its Reader, which
// first follows the writer's log when its refresh interval has passed.
std::shared_ptr<Database> engine_of(PyObject* self);
// engine_of for a change: ReadOnlyError (through guarded) when the object
// was opened read-only, even where it shares a writer's engine.
std::shared_ptr<Database> writable_engine_of(PyObject* self);
// The Reader of an object opened read-only (null for a writer); ValueError
// (through guarded) once it is closed.
std::shared_ptr<Reader> reader_of(PyObject* self);

// Creates the class; once per process.
PyTypeObject* create_database_type();

// Adds _save_open_databases to the module and registers it with atexit, so
// that unsaved changes are saved when the interpreter exits.
bool add_exit_hook(PyObject* module);

// A Database object over an engine that is already open (a snapshot, say);
// path is what repr() shows.
PyObject* new_database_object(std::shared_ptr<Database> engine, const std::string& path);

}  // namespace hovra::py
