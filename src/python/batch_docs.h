// Docstrings of the Database methods on many records at once: the batch
// writes and reads, paging and Arrow export, delete_where, explain, and the
// prepared (two-phase) batches.
#pragma once

namespace hovra::py::docs {

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
