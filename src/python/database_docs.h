// The docstrings of the Database class, its methods and its properties:
// what `help(hovra.Database)` shows. Text that earlier releases showed as a
// method's whole docstring stays its opening paragraph.
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
        codes made from the vectors when the database is opened (or
        created) and re-score at full precision; the codes are not saved,
        and this applies to this object only (pass it at every open).
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

inline constexpr const char* kAddMany = R"doc(Add many records at once; all or nothing.

Much faster than add() in a loop: the batch is logged in one go and linked
into the graph in parallel.

Args:
    ids: A sequence of str, one per vector.
    vectors: An (n, dim) NumPy array (float32 in C or Fortran order is
        used as it is) or a sequence of n sequences of numbers. An array
        is read in place, without a copy: do not change it from another
        thread while the call runs.
    metadatas: None, or a list of n items that are dicts or None.
    show_progress: Show progress on standard error while the batch is
        logged and then linked (a tqdm bar when tqdm is installed).
    sparse: None, a list of n sparse vectors (each as for add(), or None),
        or a SciPy sparse matrix of n rows.
    prepare: A transaction id (str): check and log the batch as a
        prepared batch, the first phase of a two-phase commit across
        databases, and apply nothing yet. Its records stay invisible and
        its ids held (other changes to them raise TransactionConflictError)
        until commit_prepared(id) applies it or abort_prepared(id) drops
        it; reopening keeps it pending.

Raises:
    ValueError: "ids length (N) != vectors length (M)"; "metadatas length
        (M) != ids length (N)"; "metadatas must be list of dicts or None";
        an id that exists or repeats in the batch ("id '...' already
        exists, use upsert instead"); a vector of the wrong length or
        holding NaN or infinity; invalid metadata. Nothing is stored then.
    TypeError: An argument of the wrong type, or a float32 array that is
        not contiguous ("The given array is not contiguous").
    KeyboardInterrupt: Ctrl-C while the batch is logged stops it within
        about a second and stores nothing; once linking into the graph has
        begun the batch completes and is stored, then KeyboardInterrupt is
        raised.)doc";

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

inline constexpr const char* kUpsertMany = R"doc(Batch upsert — inserts new vectors, updates existing ones.

The outcome equals upsert() of each item in order (an id that repeats in
the batch keeps its last item), done as one batch.

Args:
    ids, vectors, metadatas, show_progress, sparse, prepare: As for
        add_many().

Raises:
    ValueError: The length messages of add_many(); a vector of the wrong
        length (nothing is stored then); "invalid metadata: ..."; "io
        error: ..." when the log cannot be written.
    TypeError: An argument of the wrong type.
    KeyboardInterrupt: As for add_many(): Ctrl-C while the batch is
        logged changes nothing; later the batch completes first.)doc";

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

inline constexpr const char* kSave = R"doc(Write everything to disk.

Rewrites the graph and vector files through temporary files and renames,
then deletes the write-ahead log. Changes reach the log before they are
applied, so reopening a database that was never saved replays them;
saving makes reopening fast and keeps the log short.

Args:
    show_progress: Show the bytes written on standard error.

Raises:
    ValueError: "io error: ..." when the files cannot be written.
    KeyboardInterrupt: Ctrl-C while the new files are being written
        stops the save within about a second, removes its temporary files
        and leaves the saved files and the log as they were. Once the new
        graph file is renamed into place (the commit point) the save
        completes, then KeyboardInterrupt is raised.)doc";

inline constexpr const char* kCompact = R"doc(Rebuild the index with only live vectors, reclaiming deleted slots.
Call this after many deletes to reduce memory usage and disk size.

Every record keeps its id, vector and metadata; the graph is built anew.
The change reaches disk at the next save().

Args:
    show_progress: Show the records linked into the new graph on standard
        error.

Raises:
    KeyboardInterrupt: Ctrl-C stops the rebuild within about a second and
        leaves the database exactly as it was.)doc";

inline constexpr const char* kEnableQuantized =
    R"doc(Enable quantized search: uses SQ8 quantized vectors for faster HNSW traversal
with full-precision re-ranking. Automatically enabled when quantize=True is set.

Trains the 8-bit quantizer on the vectors stored now and encodes them;
with no vectors stored it does nothing. Changes memory only; a database
created with quantize=True writes the quantized vectors on save and
switches this on when it is reopened.

mode="binary" keeps one bit per component instead (the sign of each
component's offset from the mean of the vectors, with three numbers per
vector that turn a count of matching bits into a distance estimate): the
walk compares codes with popcount instructions, and every member of its
beam (ef_search of them) is re-scored at full precision, so a search
returns exact distances. The codes take 1/32 of the vectors' memory plus
16 bytes a vector; they are made again at each open (quantize="binary"),
not saved. Either mode replaces the other.)doc";

inline constexpr const char* kDisableQuantized = R"doc(Disable quantized search.

Drops the quantized vectors from memory; searches use full precision
again.)doc";

inline constexpr const char* kStats = R"doc(Get graph-level statistics for diagnostics.
Returns a dict with keys: num_vectors, num_deleted, num_layers, avg_degree_layer0,
max_degree_layer0, min_degree_layer0, memory_vectors_bytes, memory_graph_bytes,
memory_quantized_bytes, uses_brute_force, uses_quantized_search.

The dict also holds fresh_rows. uses_brute_force tells whether searches without a filter scan every vector
exactly (live records x dimension below 10,000,000) instead of walking the
graph. fresh_rows counts the records stored but not yet linked into the graph
(searches scan them exactly); the degrees are those of the linked records.)doc";

inline constexpr const char* kWaitIndexed = R"doc(Wait until every stored record is linked into the graph.

Writes return once their records are logged and stored; a background thread
links them into the graph behind the writers. Until then searches scan those
records exactly, so results are complete either way; waiting only matters for
the graph's shape (stats()) or for timing a build.

Args:
    timeout: Seconds to wait at most; None waits until done.
    show_progress: Show the linking on standard error.

Returns:
    True when every record is linked, False when the timeout passed first.

Ctrl-C ends the wait at once (KeyboardInterrupt); the records stay stored
and are linked on in the background.)doc";

inline constexpr const char* kMemoryUsage = R"doc(Report the memory this database holds, per structure, in bytes.
Returns a dict with keys: vectors (vector rows held in memory),
vectors_mapped (rows read from the mapped vector file, which the system pages
in and out), norms, graph (levels, neighbour lists and tombstones), quantizer
(SQ8 codes), ids, id_map, metadata, metadata_index, text_index (postings,
terms and documents of the text index), sparse_vectors; then three figures for the
whole process: heap_in_use and heap_free (what the C allocator has handed out,
and what it holds freed; 0 where it cannot tell) and resident (the resident set).

The per-structure figures count capacity as allocated, estimated for node-based
containers; they are meant for diagnostics and may change between versions.)doc";

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

inline constexpr const char* kVerify = R"doc(Check the saved files against their checksums and their structure.
Raises ValueError naming the file that does not match; returns None.

Raises:
    ValueError: A saved file is damaged or does not match its checksum
        (the message names it), or the directory holds no saved database.)doc";

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

inline constexpr const char* kGetMany = R"doc(Return the stored vector and metadata of many records in one call.

All records are read at one point in time, in one pass.

Args:
    ids: A sequence of ids (an id may repeat).

Returns:
    A list with one item per id, in order: a tuple (vector, metadata) as
    get() returns it, or None where no record has that id.

Raises:
    TypeError: ids is not a sequence of str.)doc";

inline constexpr const char* kRecords = R"doc(Iterate over the records in ascending order of id.

Yields (id, vector, metadata) tuples: vector is a list of float (None
with include_vectors=False) and metadata a dict or None. Records are read
a page at a time; each page is read at one point in time. Between pages
other threads may write: a record whose id comes after the last one
yielded shows as it is when its page is read, and ids already passed are
not visited again. So a record that exists (and matches) throughout is
yielded exactly once.

Args:
    where_filter: Only records that match this filter (as for search()).
    limit: Yield at most this many records.
    after: Start after this id (not necessarily one that exists): pass
        the last id of an earlier iteration to go on from there.
    include_vectors: Also read the vectors (default True).

Returns:
    An iterator of tuples. Ids are ordered by their UTF-8 bytes.

Raises:
    ValueError: A malformed filter, or the database is closed.
    TypeError: An argument of the wrong type.)doc";

inline constexpr const char* kDeleteMany = R"doc(Delete the records of many ids at once.

The deletes are logged as one batch: after a crash either all of them or
none are replayed. Ids without a record are passed over.

Args:
    ids: A sequence of ids.
    prepare: A transaction id: log the deletes as a prepared batch, as
        add_many(prepare=...) does; nothing is deleted until
        commit_prepared(id).

Returns:
    How many records were (or, prepared, will be) deleted (an id given
    twice counts once).

Raises:
    TypeError: ids is not a sequence of str.)doc";

inline constexpr const char* kDeleteWhere = R"doc(Delete every record that matches a filter.

The records are chosen and deleted while no other write can run, and the
deletes are logged as one batch (all or nothing). An empty filter matches
nothing, so delete_where({}) deletes nothing.

Args:
    where_filter: A filter as for search().
    prepare: A transaction id: the matching records are chosen now and
        their deletes logged as a prepared batch (see add_many()).

Returns:
    How many records were (or, prepared, will be) deleted.

Raises:
    ValueError: A malformed filter.
    TypeError: where_filter is not a dict.)doc";

inline constexpr const char* kExplain = R"doc(How search() would find the records of a filter.

Nothing is searched: the filter is planned against the metadata index as
search() plans it. The planner turns each condition into a candidate set
from the index's lists (an equality, $in or $contains a union of posting
lists, a range the field's numbers in it, $exists a presence list; $ne,
$nin, $exists false and $not complements; $and an intersection, $or a
union); conditions the index cannot answer (a dotted key, for one) are
left to the evaluator, which reads each record's metadata.

Args:
    where_filter: A filter as for search(), or None.
    k: The number of results the search would ask for.
    ef_search: Its beam width (None: the default for k).

Returns:
    A dict: "path" is "walk" (the graph walk, testing each record it
    reaches against the filter), "candidate scan" (an exact scan of the
    candidate records), "whole scan" (an exact scan of every live record,
    each tested) or "none" (no record can match, or k is 0);
    "candidates" is the planner's estimate, an upper bound on the matching
    live records; "live_records" counts the live records; "index_decides"
    tells whether the index's lists decide each record without reading its
    metadata; "plan" describes the candidate sets, for example
    "and(1 list, range on 'n')". A walk that finds the filter's records
    unreachable, or meets more nodes than could pass, falls back to a scan
    during the search itself.

Raises:
    ValueError: A malformed filter.
    TypeError: where_filter is not a dict.)doc";

inline constexpr const char* kUpdateMany = R"doc(Update many existing records in one batch.

Like update() for each id in order, logged as one batch: all or nothing.
Every id must exist and every vector must be valid, or nothing changes.

Args:
    ids: A sequence of ids of existing records.
    vectors: None (vectors unchanged) or one new vector per id, as for
        add_many().
    metadatas: None (metadata unchanged) or a list with one item per id:
        a dict (the new metadata) or None (that record's metadata
        unchanged).

Raises:
    ValueError: "id '...' not found"; "ids length (N) != vectors length
        (M)"; "metadatas length (M) != ids length (N)"; a vector of the
        wrong length or holding NaN or infinity; invalid metadata.
    TypeError: An argument of the wrong type.)doc";

inline constexpr const char* kToArrow = R"doc(Return the records as a pyarrow.Table, in ascending order of id.

Needs pyarrow (the `hovra[arrow]` extra). The records are read at one point
in time, like one page of records().

Args:
    where_filter: Only records that match this filter (as for search()).
    include_vectors: Include the vector column (default True).
    flatten_metadata: Instead of one column of JSON text, one column per
        top-level metadata key of any record (null where a record lacks
        it), typed by pyarrow's inference: a key whose values differ in
        type across records makes pyarrow raise. A key named "id" or
        "vector" becomes "metadata.id" or "metadata.vector".

Returns:
    A table with the columns id (string), vector (fixed_size_list of
    float32, dim long) and metadata (the metadata as JSON text, or null;
    or the flattened columns). pandas: table.to_pandas(); Polars:
    polars.from_arrow(table).

Raises:
    ImportError: pyarrow cannot be imported.
    ValueError: A malformed filter, or the database is closed.
    TypeError: An argument of the wrong type.)doc";

inline constexpr const char* kCommitPrepared = R"doc(Commit a prepared batch: apply it, as it was logged.

The commit is logged first, so it survives a crash. Committing a
transaction that is not pending (resolved before, or never prepared
here) does nothing, so a resolution may be repeated.

Args:
    transaction: The id given to prepare=.

Returns:
    True when the batch was pending and is applied now, else False.)doc";

inline constexpr const char* kAbortPrepared = R"doc(Abort a prepared batch: drop it.

Nothing of the batch remains (no records, no deleted slots) and its ids
are free again. Aborting a transaction that is not pending does nothing.

Args:
    transaction: The id given to prepare=.

Returns:
    True when the batch was pending and is dropped now, else False.)doc";

inline constexpr const char* kPreparedTransactions =
    R"doc(The ids of the prepared batches that are neither committed nor aborted yet.

A database reopened after a crash keeps its pending batches; whoever
prepared them decides their outcome (commit_prepared or abort_prepared).

Returns:
    A list of str, in the order the batches were prepared.)doc";

}  // namespace hovra::py::docs
