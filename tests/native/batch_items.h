// BatchItems: records held by a test and handed to add_many and upsert_many
// as a RecordBatch that reads them where they lie.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/db/database.h"
#include "core/records/packed_json.h"

struct BatchItems {
  std::vector<std::string> ids;
  std::vector<std::vector<float>> vectors;
  std::vector<std::optional<hovra::JsonValue>> metadata;  // empty, or one per item

  void append(const BatchItems& other, std::size_t i) {
    ids.push_back(other.ids[i]);
    vectors.push_back(other.vectors[i]);
    if (!other.metadata.empty()) metadata.push_back(other.metadata[i]);
  }

  // Valid until the items change.
  const hovra::RecordBatch& view() {
    batch_ = hovra::RecordBatch();
    ends_.clear();
    flat_.clear();
    for (std::size_t i = 0; i < ids.size(); ++i) {
      batch_.ids.push_back(ids[i]);
      flat_.insert(flat_.end(), vectors[i].begin(), vectors[i].end());
      ends_.push_back(flat_.size());
    }
    for (const auto& m : metadata) {
      if (m) batch_.metadata.push_back(hovra::packed(*m));
      else batch_.metadata.push_absent();
    }
    batch_.vectors = hovra::VectorRows::ragged(flat_.data(), ends_.data(), ends_.size());
    return batch_;
  }

 private:
  hovra::RecordBatch batch_;
  std::vector<float> flat_;
  std::vector<std::size_t> ends_;
};
