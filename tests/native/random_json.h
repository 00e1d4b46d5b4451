// Random JSON values for the property tests of the JSON reader and writer
// and of the packed metadata form: every kind, numbers at their extremes,
// strings mixing ASCII, control characters, NUL and multi-byte UTF-8 (and
// now and then a long one), arrays and objects nested a few levels deep.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <utility>

#include "core/records/json.h"

namespace random_json {

inline std::string text(std::mt19937_64& rng) {
  static const char* pieces[] = {"a",
                                 "b",
                                 "z",
                                 "Z",
                                 "0",
                                 " ",
                                 "\"",
                                 "\\",
                                 "/",
                                 "\b",
                                 "\f",
                                 "\n",
                                 "\r",
                                 "\t",
                                 "\x01",
                                 "\x1f",
                                 "\x7f",
                                 "\xc3\xa9",
                                 "\xe2\x80\xa8",
                                 "\xf0\x9f\x98\x80",
                                 "\xef\xbf\xbf",
                                 "$",
                                 "{",
                                 ""};
  std::string s;
  int n = static_cast<int>(rng() % 8);
  for (int i = 0; i < n; ++i) s += pieces[rng() % (sizeof pieces / sizeof *pieces)];
  if (rng() % 10 == 0) s += '\0';
  // Now and then a long string, whose length prefix takes two bytes.
  if (rng() % 16 == 0) s += std::string(100 + rng() % 300, 'x');
  return s;
}

inline hovra::JsonValue value(std::mt19937_64& rng, int depth = 0) {
  using hovra::JsonValue;
  int choice = static_cast<int>(rng() % (depth > 4 ? 6 : 8));
  switch (choice) {
    case 0:
      return JsonValue::null();
    case 1:
      return JsonValue::boolean(rng() & 1);
    case 2:
      return JsonValue::unsigned_int(rng() >> (rng() % 64));
    case 3:
      return JsonValue::signed_int(-static_cast<std::int64_t>(rng() >> (1 + rng() % 63)) - 1);
    case 4: {
      static const double specials[] = {0.0, -0.0, 0.1, 1.0, 1e300, -5e-324, 2.5, 9007199254740993.0};
      if (rng() % 2) return JsonValue::floating(specials[rng() % 8]);
      std::uint64_t bits = rng();
      double d;
      std::memcpy(&d, &bits, sizeof d);
      if (!std::isfinite(d)) d = static_cast<double>(static_cast<std::int64_t>(rng() % 2001) - 1000) / 8.0;
      return JsonValue::floating(d);
    }
    case 5:
      return JsonValue::string(text(rng));
    case 6: {
      JsonValue::Array items;
      int n = static_cast<int>(rng() % (rng() % 8 == 0 ? 200 : 5));
      for (int i = 0; i < n; ++i) items.push_back(value(rng, depth + 1));
      return JsonValue::array(std::move(items));
    }
    default: {
      JsonValue::Object members;
      int n = static_cast<int>(rng() % 7);
      for (int i = 0; i < n; ++i) members[text(rng)] = value(rng, depth + 1);
      return JsonValue::object(std::move(members));
    }
  }
}

}  // namespace random_json
