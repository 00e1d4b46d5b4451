// Docstrings of the Database methods that look after the stored data:
// save, compact, verify, quantized search, statistics, memory and waiting
// for the linker.
#pragma once

namespace hovra::py::docs {

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
16 bytes a vector; saves write them (vectors.b1) while they are on, and
an open with quantize="binary" reads them back. Either mode replaces the
other.

On a database opened read-only the choice lasts: every checkpoint it
loads afterwards gets the same codes.)doc";

inline constexpr const char* kDisableQuantized = R"doc(Disable quantized search.

Drops the quantized vectors from memory; searches use full precision
again (on a database opened read-only, also after the checkpoints it
loads later).)doc";

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
terms and documents of the text index), sparse_vectors, query_plans (the plans
of the last few filters, kept with their candidate lists, and for a filter
scanned again and again a copy of its records' rows, for searches that
repeat them); then three figures for the whole process: heap_in_use and heap_free (what the C allocator has handed out,
and what it holds freed; 0 where it cannot tell) and resident (the resident set).

The per-structure figures count capacity as allocated, estimated for node-based
containers; they are meant for diagnostics and may change between versions.)doc";

inline constexpr const char* kVerify = R"doc(Check the saved files against their checksums and their structure.
Raises ValueError naming the file that does not match; returns None.

Raises:
    ValueError: A saved file is damaged or does not match its checksum
        (the message names it), or the directory holds no saved database.)doc";

}  // namespace hovra::py::docs
