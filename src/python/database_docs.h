// The docstrings of the Database class, its properties, its lifetime (close,
// refresh, the context manager), its one-record methods and its searches:
// what `help(hovra.Database)` shows first (batches: batch_docs.h; upkeep:
// upkeep_docs.h; text retrieval: text_docs.h). Text that earlier releases
// showed as a method's whole docstring stays its opening paragraph.
#pragma once

namespace hovra::py::docs {

inline constexpr const char* kClass =
    "Database(path, dim=None, metric=None, m=None, ef_construction=None, quantize=False, *, sync_writes=False, "
    "text_field=None, read_only=False, refresh_interval=None, exact_threshold=None, autocheckpoint=True, "
    "checkpoint_bytes=None, checkpoint_records=None)\n"
    "--\n\n"
    R"doc(An embedded vector database kept in one directory.

A record is a string id, a float32 vector of the database's dimension and
optional metadata (a dict that survives a JSON round trip). Searches return
the records nearest to a query under the database's metric, optionally
restricted by a metadata filter and a maximum distance.

Args:
    path: The database directory, a str or an os.PathLike.
    dim: The vector dimension. Without it (None) an existing database is
        opened and nothing is created. With it, the database in `path` is
        opened (keeping its own stored dimension, metric and graph
        parameters) or, when there is none, an empty one is created along
        with any missing directories.
    metric: "cosine" (the default; 1 - cosine similarity), "euclidean" or
        "l2" (squared Euclidean distance), "dot", "dot_product", "ip" or
        "inner_product" (negated dot product). Smaller distances are always
        closer. Only used when creating.
    m: Neighbours per graph node on the upper layers (default 16, at least
        2 when creating). More gives better recall and uses more memory.
    ef_construction: Beam width while inserting (default 200). Larger
        builds a better graph, more slowly.
    quantize: When True (or "sq8"), every save also writes 8-bit
        quantized vectors, and a reopened database walks its graph on them
        (see enable_quantized_search). It does not switch quantized search
        on in the object being created. "binary": searches walk on one-bit
        codes and re-score at full precision; the codes are read from the
        last save when it wrote them (else made from the vectors), saves
        write them while they are on, and the mode applies to this object
        only (pass it at every open).
    sync_writes: When True, every change is forced to stable storage
        before it returns (concurrent writers share one sync), so it
        survives a power loss as well as a crash of the process.
    text_field: A metadata key whose string values get a BM25 text index
        (English analysis; see create_text_index), made at once when the
        database has none. A database with a text index on another field
        raises ValueError.
    read_only: When True, open an existing database for reading only,
        beside a writer in another process or beside other readers: no
        lock is taken and no file is written. Every change raises
        ReadOnlyError "database at '...' is open read-only". The reader
        sees the last checkpoint and the log's committed records (a batch
        all or nothing) and follows the writer (see refresh). Pass no
        other option but refresh_interval, exact_threshold and
        quantize="binary" (codes made at each load of a checkpoint);
        DatabaseNotFoundError where there is no database. In a process
        that has the directory open for writing, the reader shares that
        engine and is always current.
    refresh_interval: Read-only databases: the longest time, in seconds,
        a search serves without looking at the log again (default 0.01;
        0 looks before every call). A change the writer acknowledged is
        visible to the next call after about this long.
    exact_threshold: Searches scan every vector exactly while live records
        x dimension stays below this many components (None: 10,000,000).
        Not stored; a shard of a collection of n shards passes its share,
        10,000,000 / n, so that it searches as the whole collection would.
        A reader takes it too (one that shares this process's writer
        searches with the writer's).
    autocheckpoint: When True (the default), the database saves by itself
        in the background once its log holds checkpoint_bytes bytes
        (default 64 MiB) or checkpoint_records records (default 100,000),
        and close() and interpreter exit save unsaved changes.
    checkpoint_bytes, checkpoint_records: The automatic save's bounds.

Raises:
    ValueError: "database not found — specify dim to create a new one"
        when dim is None and path holds no readable database; an unknown
        metric name; m below 2 when creating; "io error: ..." when the
        directory or its files cannot be created or read; "database at
        '...' is in use by another process".
    TypeError: An argument of the wrong type (a float for dim, say).
    OverflowError: A negative dim, m or ef_construction.

Every change is appended to the directory's write-ahead log and stored
before it returns, and is found by the next search; a background thread
links new records into the graph behind the writers (wait_indexed waits for
it). Opening a database replays its log without relinking. save(), leaving a
`with` block, close(), the automatic checkpoint and interpreter exit rewrite
the index files and start a new log; close() then releases the directory.
While live records x dimension stays below
10,000,000 (exact_threshold) a search scans every vector exactly; above that it walks the
HNSW graph. A Database may be used from several threads at once; searches
and writes release the interpreter lock. Calls on a closed object raise
ValueError "database is closed".)doc";

inline constexpr const char* kAdd = R"doc(Add one record; its id must be new.

Args:
    id: The record's id, any str (compared exactly; "" is valid).
    vector: dim numbers: a list or tuple of numbers or a 1-D NumPy array
        (float32 is used as it is, other types are converted).
    metadata: A dict that survives a JSON round trip, or None. NumPy
        booleans, numbers and arrays in it are stored as the JSON values
        they equal. Its keys read back sorted.
    sparse: The record's sparse vector, {"indices": [...], "values":
        [...]} (non-negative integer indices below 2**32, finite values)
        or a SciPy sparse row; stored and logged with the record and
        searched by sparse_search() and hybrid_search().

Raises:
    ValueError: "id '...' already exists, use upsert instead";
        "dimension mismatch: expected D, got N"; a vector holding NaN or
        infinity; "invalid metadata: ..." (a NaN, for example); "io error:
        ..." when the log cannot be written.
    TypeError: An argument of the wrong type, or metadata that json.dumps
        cannot write.)doc";

inline constexpr const char* kUpsert = R"doc(Add or update a vector.

Adds the record, or replaces the vector and the metadata of the record
that has this id (metadata None removes its metadata).

Args:
    id: The record's id.
    vector: dim numbers, as for add().
    metadata: A dict, or None for no metadata.
    sparse: The record's sparse vector as for add(), or None for none
        (replacing the record replaces its sparse vector too).

Raises:
    ValueError: "dimension mismatch: expected D, got N"; a vector holding
        NaN or infinity; "invalid metadata: ..."; "io error: ..." when the
        log cannot be written.
    TypeError: An argument of the wrong type.)doc";

inline constexpr const char* kSearch = R"doc(Search for the k nearest neighbors.
Returns list of SearchResult objects with .id, .distance, .metadata attributes.
`where_filter`: optional dict like {"field": "value"} or {"field": {"$ne": "value"}}
`max_distance`: optional float — discard results beyond this distance.

Args:
    vector: The query: dim numbers (a list, a tuple or a 1-D array) or a
        (1, dim) NumPy array.
    k: The most results to return (default 10).
    ef_search: Beam width of the graph walk; default max(200, k +
        10*sqrt(k)). Larger finds more of the true nearest neighbours, more
        slowly. Unused while the collection is scanned exactly.
    where_filter: A dict of conditions that must all hold, e.g.
        {"lang": "en", "year": {"$gte": 2020}}. Operators: "$eq", "$ne",
        "$in", "$nin", "$gt", "$gte", "$lt", "$lte", "$exists" (a bool),
        "$contains" (an array element, or a substring of a string), and
        "$not" (an operator dict); logical forms {"$and": [...]},
        {"$or": [...]} and {"$not": {...}} nest at any depth. A plain value
        means equality, and values compare by kind (1, 1.0 and True
        differ). "a.b" reaches into nested objects (a key that itself
        holds a dot is matched first as a whole). Records without metadata
        never match; an empty dict matches nothing. See the README's
        "Metadata filters" section.
    max_distance: Drop results farther than this distance. The bound is
        inclusive and exact: each result's distance is computed again in
        double precision and compared with the bound as given, so no
        record beyond it comes back (a result still reports its distance
        as a 32-bit float).

Returns:
    A list of SearchResult, closest first: k of them, or every matching
    record when fewer than k match. On the graph path a filter that few
    records match is answered by an exact scan of those records.

Raises:
    ValueError: "dimension mismatch: expected D, got N"; "query contains
        NaN or infinity"; a malformed filter ("unknown operator: $foo",
        "$gt value must be a number", "$in value must be a list",
        "unsupported filter value type", "empty operator dict for field
        'n'", ...).
    TypeError: An argument of the wrong type.
    OverflowError: A negative k or ef_search.)doc";

inline constexpr const char* kSearchMany =
    R"doc(Search multiple queries in parallel. Returns list of list of SearchResult.
`where_filter`: optional metadata filter (same syntax as search).
`max_distance`: optional float — discard results beyond this distance.

Args:
    vectors: An (n, dim) NumPy array or a sequence of n queries.
    k, ef_search, where_filter, max_distance: As for search().
    show_progress: Show the queries done on standard error.

Returns:
    One list of SearchResult per query, in query order, each exactly what
    search() returns for that query.

Raises:
    ValueError, TypeError, OverflowError: As for search(); one query of
        the wrong length fails the whole call.
    KeyboardInterrupt: Ctrl-C stops the search within about a second;
        nothing is returned.)doc";

inline constexpr const char* kSearchArrays = R"doc(Search many queries in parallel and return NumPy arrays.

Runs like search_many() and lays the results out in two arrays, which is
handier than lists of objects for evaluation and further NumPy work; or,
with arrow=True, in one Arrow table that pandas and Polars read directly.

Args:
    queries: An (n, dim) NumPy array, a sequence of n queries, or Arrow
        fixed-size lists (as add_many() takes them).
    k, ef_search, where_filter, max_distance: As for search().
    show_progress: As for search_many().
    arrow: Return a pyarrow.Table (needs pyarrow: the `hovra[arrow]`
        extra) with one row per hit: query (int64, the query's index),
        rank (int32, 0 for the closest), id (string), distance (float32)
        and metadata (the record's metadata as JSON text, or null).
        pandas: table.to_pandas(); Polars: polars.from_arrow(table).

Returns:
    A tuple (ids, distances). ids is an (n, k) object array of str with
    None where a query has fewer than k results; distances is an (n, k)
    float32 array with NaN there. Row i belongs to query i, closest first.
    With arrow=True, the table described above.

Raises:
    ValueError, TypeError, OverflowError, KeyboardInterrupt: As for
        search_many().
    ImportError: NumPy cannot be imported, or pyarrow for arrow=True.)doc";

inline constexpr const char* kGet = R"doc(Return the stored vector and metadata of a record.

Args:
    id: The record's id.

Returns:
    A tuple (vector, metadata): the vector as a list of float and the
    metadata as a new dict (keys sorted), or None when it has none.

Raises:
    ValueError: "id '...' not found".
    TypeError: id is not a str.)doc";

inline constexpr const char* kDelete = R"doc(Delete a record.

Its slot is only marked deleted; compact() reclaims the space.

Args:
    id: The record's id.

Returns:
    True if the record existed and was deleted, False if there was none.

Raises:
    ValueError: "io error: ..." when the log cannot be written.
    TypeError: id is not a str.)doc";

inline constexpr const char* kUpdate = R"doc(Replace the vector and/or the metadata of an existing record.

Args:
    id: The record's id; it must exist.
    vector: The new vector, or None to keep the current one.
    metadata: The new metadata, replacing the old one whole (not merged),
        or None to keep the current one. To remove the metadata, use
        upsert(id, vector, None).
    sparse: A new sparse vector as for add() (an empty one removes it), or
        None to keep the current one.

Raises:
    ValueError: "id '...' not found"; "dimension mismatch: expected D,
        got N"; "invalid metadata: ..."; "io error: ..." when the log
        cannot be written.
    TypeError: An argument of the wrong type.)doc";

inline constexpr const char* kCount = R"doc(Count vectors matching a filter, or all vectors if no filter.

Args:
    where_filter: A filter as for search(), or None.

Returns:
    The number of live records that match; exact at any size.

Raises:
    ValueError: A malformed filter.
    TypeError: where_filter is not a dict.)doc";

inline constexpr const char* kIds = R"doc(Return the ids of all records.

Returns:
    A list of str in no particular order (it may differ between runs).)doc";

inline constexpr const char* kRefresh = R"doc(Catch up with the writer now (a database opened read-only).

Reads the log records the writer appended since the last look and applies
them, or loads the writer's new checkpoint; calls made meanwhile from other
threads finish on what they began with. A read-only database also does this
by itself before a call once refresh_interval has passed. On a database
opened for writing it does nothing.

Raises:
    CorruptDataError: The directory no longer holds a database that loads
        (the reader keeps what it had).
)doc";

inline constexpr const char* kReadOnly = R"doc(Whether this object was opened with read_only=True.)doc";

inline constexpr const char* kClose = R"doc(Detach this object from its database; later calls on it raise ValueError.
Objects opened on one directory in one process share one database (a second
Database(path) sees and keeps every change of the first). When the last of them
is closed or freed, the directory's lock and files are released at once; changes
not saved stay in the log and are replayed by the next open. Another process
cannot open the directory meanwhile; a forked child can read through objects it
inherited but cannot change them. Closing again does nothing.

close() saves first when there are unsaved changes (a failed save raises and
leaves the object open); close(save=False) releases without saving, leaving
the changes in the log for the next open.)doc";

inline constexpr const char* kEnter = R"doc(Context manager: auto-save on exit.

Returns the database itself.)doc";

inline constexpr const char* kExit = R"doc(Save the database at the end of a `with` block, however the block ends.

Returns False, so an exception raised in the block propagates after the
save.

Raises:
    ValueError: "io error: ..." when saving fails; it replaces an
        exception raised in the block.)doc";

inline constexpr const char* kDim = "The vector dimension, fixed when the database was created.";

inline constexpr const char* kMetric = "The metric's name: \"cosine\", \"euclidean\" or \"dot_product\".";

}  // namespace hovra::py::docs
