// The frame codes that the log's writer (wal.cpp) and its scanner
// (wal_scan.cpp) share; callers outside the log use wal.h.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/storage/wal.h"

namespace hovra {

// The record kind and sparse flag of a frame kind code; false when unknown.
bool kind_of_code(std::uint8_t code, WalRecord::Kind& kind, bool& has_sparse);

// The CRC-32 a frame carries: over its kind byte and its payload.
std::uint32_t frame_checksum(std::uint8_t kind, std::string_view payload);

// The transaction id and the second field of a prepare marker (its count)
// or a resolution (its outcome, widened).
bool decode_transaction_frame(std::uint8_t kind, std::string_view payload, std::string& transaction,
                              std::uint32_t& value);

}  // namespace hovra
