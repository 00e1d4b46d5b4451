// GraphLayout: the graph as the graph file stores it (parameters,
// tombstones, node table, the rows kept beside it and where its delta
// sections lie), as the graph file's reader fills it and before
// HnswIndex::from_layout makes it an index.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "core/index/graph.h"
#include "core/vectors/distance.h"

namespace hovra {

// The graph as stored in the graph file, before or after it becomes an
// index: the index's parameters, its tombstones and its node table.
struct GraphLayout : NodeTable {
  std::size_t dim = 0;
  Metric metric = Metric::Cosine;
  std::size_t m = 16;
  std::size_t ef_construction = 200;
  std::uint32_t entry_point = kNoEntry;
  std::size_t max_level = 0;
  std::vector<std::uint32_t> deleted;  // as listed; duplicates collapse
  // Some live nodes other than the entry point wait to be linked (their
  // lists empty): see HnswIndex::adopt_unlinked.
  bool has_unlinked = false;
  // The vector file holds rows only: the norms, and the rows replaced
  // since it was written (ascending slots, dim floats each), come with the
  // graph.
  bool rows_apart = false;
  std::vector<float> norms;
  std::vector<std::uint32_t> replaced_slots;  // a slot may repeat: the later row holds
  std::vector<float> replaced_rows;
  // With delta sections after the record table (graph_file.h): how many of
  // `deleted` the first section listed, the offset where the sections
  // begin, and each slot's latest record in them (slot, offset of its id
  // length), ascending by slot.
  bool has_deltas = false;
  std::size_t deleted_in_base = 0;
  std::size_t deltas_at = 0;
  std::vector<std::pair<std::uint32_t, std::size_t>> delta_records;
};

}  // namespace hovra
