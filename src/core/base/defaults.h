// The defaults a caller sees and the thresholds that decide how work is
// done, in one place: the engine and the module read them here, and the
// module exports them to Python as _hovra.DEFAULTS, against which a test
// checks the stubs and docstrings (which cannot include this file).
#pragma once

#include <cstddef>
#include <cstdint>

namespace hovra {

// Graph parameters of a new database.
// Neighbours per node on the layers above 0 (layer 0 holds twice as many):
// the usual HNSW choice, good recall for embeddings of a few hundred
// dimensions at a modest memory cost.
inline constexpr std::size_t kDefaultM = 16;
// Beam width while inserting: wide enough that a new node finds its true
// neighbours, narrow enough to keep builds fast.
inline constexpr std::size_t kDefaultEfConstruction = 200;

// Search.
// Results per query when k is not given.
inline constexpr std::size_t kDefaultK = 10;
// The beam width when ef_search is not given: max(kDefaultEfFloor,
// k + floor(kDefaultEfSqrtFactor * sqrt(k))). The floor keeps recall high
// for small k; the square-root term widens the beam for large k.
inline constexpr std::size_t kDefaultEfFloor = 200;
inline constexpr double kDefaultEfSqrtFactor = 10.0;

// While live records x dimension stay below this many components, every
// search scans all vectors exactly: the answers are exact, and a scan then
// reads at most 40 MB of floats per query, a few milliseconds.
inline constexpr std::size_t kExactScanComponents = 10'000'000;

// Batches of at most this many records are linked into the graph on the
// calling thread; larger ones are linked in parallel on the worker pool,
// where the start-up cost of the parallel phase is repaid.
inline constexpr std::size_t kParallelBatchAbove = 128;

// The automatic checkpoint saves once the log holds this many bytes (about
// 120,000 records of 128 floats) or records: a save of 100,000 x 128 costs
// about 0.1 s of CPU, well under 1 % of linking the records that fill the
// log, and a log of this size reopens in a fraction of a second.
inline constexpr std::uint64_t kDefaultCheckpointBytes = std::uint64_t{64} << 20;
inline constexpr std::uint64_t kDefaultCheckpointRecords = 100'000;

// Rows stored but not yet linked into the graph are scanned exactly by
// every search. Writers wait (backpressure) while the fresh rows hold more
// than this many components, so that the scan stays within about a
// millisecond of reading (4 MB of floats): 8,192 rows of 128 floats, 2,730
// of 384.
inline constexpr std::size_t kFreshScanComponents = 1'048'576;

}  // namespace hovra
