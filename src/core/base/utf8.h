// The strict UTF-8 check that the log and the graph file apply to stored
// ids.
#pragma once

#include <string>
#include <string_view>

namespace hovra {

// The standard strict UTF-8 validation (overlong forms, surrogates and code
// points above U+10FFFF are invalid): empty when valid, else the error text
// "invalid utf-8 sequence of N bytes from index I" or, when the input ends
// inside an otherwise valid sequence, "incomplete utf-8 byte sequence from
// index I".
std::string utf8_error(std::string_view bytes);

}  // namespace hovra
