// Builds graph.hovra contents field by field, so tests can describe valid
// and damaged graph files without going through the writer.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/base/bytes.h"
#include "core/storage/graph_file.h"

struct GraphBytes {
  struct Record {
    std::uint32_t slot;
    std::string id;
    std::string metadata_text;  // empty: no metadata
  };

  std::uint32_t magic = hovra::kGraphMagic;
  std::uint32_t version = hovra::kGraphVersion;
  std::uint32_t dim = 2;
  std::uint8_t metric = 0;
  std::uint32_t m = 16;
  std::uint32_t ef_construction = 200;
  std::uint32_t entry_point = hovra::kNoEntry;
  std::uint32_t max_level = 0;
  std::uint32_t flags = hovra::kGraphSealed;  // written when version is 3
  std::vector<std::uint32_t> deleted;
  std::vector<std::vector<std::vector<std::uint32_t>>> nodes;
  std::optional<std::uint32_t> node_count;  // overrides nodes.size() in the header
  std::uint32_t record_magic = hovra::kRecordMagic;
  std::vector<Record> records;

  // Three nodes, slot 1 deleted, two records with and without metadata.
  static GraphBytes sample() {
    GraphBytes g;
    g.dim = 3;
    g.metric = 1;
    g.m = 4;
    g.ef_construction = 50;
    g.entry_point = 0;
    g.max_level = 1;
    g.deleted = {1};
    g.nodes = {{{1, 2}, {2}}, {{0}}, {{0, 1}, {0}}};
    g.records = {{0, "zero", "{\"a\":1}"}, {2, "two", ""}};
    return g;
  }

  std::string layout() const {
    std::string out;
    hovra::ByteWriter w(out);
    w.u32(magic);
    w.u32(version);
    w.u32(dim);
    w.u8(metric);
    w.u32(m);
    w.u32(ef_construction);
    w.u32(entry_point);
    w.u32(max_level);
    w.u32(node_count ? *node_count : static_cast<std::uint32_t>(nodes.size()));
    w.u32(static_cast<std::uint32_t>(deleted.size()));
    if (version >= 3) w.u32(flags);
    for (std::uint32_t d : deleted) w.u32(d);
    for (const auto& layers : nodes) {
      w.u32(static_cast<std::uint32_t>(layers.size()));
      for (const auto& list : layers) {
        w.u32(static_cast<std::uint32_t>(list.size()));
        for (std::uint32_t n : list) w.u32(n);
      }
    }
    return out;
  }

  std::string record_table() const {
    std::string out;
    hovra::ByteWriter w(out);
    w.u32(record_magic);
    w.u32(static_cast<std::uint32_t>(records.size()));
    for (const Record& r : records) {
      w.u32(r.slot);
      w.sized(r.id);
      w.sized(r.metadata_text);
    }
    return out;
  }

  std::string bytes() const { return layout() + record_table(); }
};
