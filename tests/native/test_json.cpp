// Tests of JsonValue and the compact JSON text: number classification,
// equality and hashing, the writer's exact output, the reader's grammar,
// limits and error positions, round trips and hostile input.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "check.h"
#include "random_json.h"
#include "core/records/json.h"

using hovra::JsonValue;
using Kind = hovra::JsonValue::Kind;

namespace {

// Parses through a heap buffer of exactly the text's size, so that reading one
// byte past the end is caught by the address sanitizer.
bool parse(const std::string& text, JsonValue& out, std::string& error) {
  std::unique_ptr<char[]> buf(new char[text.size() ? text.size() : 1]);
  std::memcpy(buf.get(), text.data(), text.size());
  return hovra::parse_json(std::string_view(buf.get(), text.size()), out, error);
}

JsonValue parse_ok(const std::string& text) {
  JsonValue v;
  std::string error;
  if (!CHECK(parse(text, v, error)))
    std::fprintf(stderr, "    text: %s\n    error: %s\n", text.c_str(), error.c_str());
  return v;
}

// The error text of a document that must fail to read.
std::string parse_error(const std::string& text) {
  JsonValue v;
  std::string error;
  bool ok = parse(text, v, error);
  if (!CHECK(!ok)) std::fprintf(stderr, "    unexpectedly accepted: %s\n", text.c_str());
  return error;
}

bool contains(const std::string& haystack, const std::string& needle) {
  return haystack.find(needle) != std::string::npos;
}

JsonValue obj(std::initializer_list<std::pair<const std::string, JsonValue>> members) {
  return JsonValue::object(JsonValue::Object(members));
}

std::uint64_t bits_of(double d) {
  std::uint64_t b;
  std::memcpy(&b, &d, sizeof b);
  return b;
}

// ---------------------------------------------------------------------------

void test_integer_classification() {
  JsonValue v = parse_ok("0");
  CHECK(v.kind() == Kind::Unsigned && v.as_unsigned() == 0);
  v = parse_ok("-0");
  CHECK(v.kind() == Kind::Unsigned && v.as_unsigned() == 0);
  v = parse_ok("-1");
  CHECK(v.kind() == Kind::Signed && v.as_signed() == -1);
  v = parse_ok("18446744073709551615");
  CHECK(v.kind() == Kind::Unsigned && v.as_unsigned() == std::numeric_limits<std::uint64_t>::max());
  v = parse_ok("18446744073709551616");
  CHECK(v.kind() == Kind::Float && v.as_float() == 18446744073709551616.0);
  v = parse_ok("-9223372036854775808");
  CHECK(v.kind() == Kind::Signed && v.as_signed() == std::numeric_limits<std::int64_t>::min());
  v = parse_ok("-9223372036854775809");
  CHECK(v.kind() == Kind::Float && v.as_float() == -9223372036854775809.0);
  v = parse_ok("9223372036854775808");  // above i64, still an unsigned integer
  CHECK(v.kind() == Kind::Unsigned && v.as_unsigned() == 9223372036854775808ULL);
  v = parse_ok("100000000000000000000000000000000000000000000000000");
  CHECK(v.kind() == Kind::Float && v.as_float() == 1e50);
}

void test_float_classification() {
  JsonValue v = parse_ok("1.0");
  CHECK(v.kind() == Kind::Float && v.as_float() == 1.0);
  v = parse_ok("1e2");
  CHECK(v.kind() == Kind::Float && v.as_float() == 100.0);
  v = parse_ok("1E+2");
  CHECK(v.kind() == Kind::Float && v.as_float() == 100.0);
  v = parse_ok("-2.5e-3");
  CHECK(v.kind() == Kind::Float && v.as_float() == -0.0025);
  v = parse_ok("-0.0");
  CHECK(v.kind() == Kind::Float && v.as_float() == 0.0 && std::signbit(v.as_float()));
  v = parse_ok("0e99999999999999999999999");
  CHECK(v.kind() == Kind::Float && v.as_float() == 0.0);
  // Correct rounding: the halfway case between 1 and the next double.
  v = parse_ok("1.00000000000000011102230246251565404236316680908203125");
  CHECK(v.kind() == Kind::Float && v.as_float() == 1.0);
  v = parse_ok("1.7976931348623157e308");
  CHECK(v.kind() == Kind::Float && v.as_float() == std::numeric_limits<double>::max());
  v = parse_ok("5e-324");
  CHECK(v.kind() == Kind::Float && v.as_float() == std::numeric_limits<double>::denorm_min());
}

void test_out_of_range_floats() {
  CHECK(contains(parse_error("1e400"), "out of range"));
  CHECK(contains(parse_error("-1e400"), "out of range"));
  CHECK(contains(parse_error("[1.7976931348623159e308]"), "out of range"));
  CHECK(contains(parse_error("1e99999999999999999999"), "out of range"));
  CHECK(contains(parse_error("0.000001e400"), "out of range"));
  CHECK(contains(parse_error(std::string(400, '9')), "out of range"));
  // Too small for a double reads as zero of the literal's sign.
  JsonValue v = parse_ok("1e-400");
  CHECK(v.kind() == Kind::Float && v.as_float() == 0.0 && !std::signbit(v.as_float()));
  v = parse_ok("-1e-400");
  CHECK(v.kind() == Kind::Float && v.as_float() == 0.0 && std::signbit(v.as_float()));
  v = parse_ok("1000e-326");
  CHECK(v.kind() == Kind::Float && v.as_float() == 1e-323);
  v = parse_ok("0.0000001e-99999999999999999999");
  CHECK(v.kind() == Kind::Float && v.as_float() == 0.0);
  v = parse_ok("123456e-400");  // 1.23456e-395, below the smallest subnormal
  CHECK(v.kind() == Kind::Float && v.as_float() == 0.0);
}

void test_non_finite_words_refused() {
  CHECK(contains(parse_error("NaN"), "NaN"));
  CHECK(contains(parse_error("Infinity"), "Infinity"));
  CHECK(contains(parse_error("-Infinity"), "Infinity"));
  CHECK(contains(parse_error("{\"a\":NaN}"), "line 1 column 6"));
  CHECK(!parse_error("[Infinity]").empty());
  CHECK(!parse_error("nan").empty());
  CHECK(!parse_error("inf").empty());
  CHECK(!parse_error("-inf").empty());
  CHECK(!parse_error("Na").empty());
  // The value model never holds a non-finite float.
  CHECK(JsonValue::floating(std::nan("")).kind() == Kind::Null);
  CHECK(JsonValue::floating(INFINITY).kind() == Kind::Null);
  CHECK(JsonValue::floating(-INFINITY).kind() == Kind::Null);
}

void test_equality_and_hash() {
  JsonValue u1 = JsonValue::unsigned_int(1);
  JsonValue f1 = JsonValue::floating(1.0);
  JsonValue t = JsonValue::boolean(true);
  JsonValue s1 = JsonValue::string("1");
  CHECK(u1 != f1);
  CHECK(u1 != t);
  CHECK(u1 != s1);
  CHECK(JsonValue::signed_int(1) == u1);
  CHECK(JsonValue::signed_int(1).kind() == Kind::Unsigned);
  CHECK(JsonValue::signed_int(0).kind() == Kind::Unsigned);
  CHECK(JsonValue::signed_int(-1).kind() == Kind::Signed);
  CHECK(JsonValue::signed_int(-1) != JsonValue::floating(-1.0));
  CHECK(JsonValue::signed_int(-1) == parse_ok("-1"));
  CHECK(JsonValue::null() == JsonValue());
  CHECK(JsonValue::null() != JsonValue::boolean(false));
  CHECK(JsonValue::string("") != JsonValue::null());
  CHECK(JsonValue::floating(1.5) != JsonValue::floating(2.5));
  CHECK(JsonValue::unsigned_int(1) != JsonValue::unsigned_int(2));
  CHECK(JsonValue::signed_int(-1) != JsonValue::signed_int(-2));
  CHECK(JsonValue::boolean(true) != JsonValue::boolean(false));
  CHECK(JsonValue::string("a") != JsonValue::string("b"));
  CHECK(parse_ok("{\"a\":1}") != parse_ok("{\"b\":1}"));
  CHECK(JsonValue::floating(0.0) == JsonValue::floating(-0.0));
  CHECK(JsonValue::floating(0.0).hash() == JsonValue::floating(-0.0).hash());
  CHECK(JsonValue::string(std::string("a\0b", 3)) != JsonValue::string("a"));

  JsonValue a12 = JsonValue::array({u1, JsonValue::unsigned_int(2)});
  JsonValue a21 = JsonValue::array({JsonValue::unsigned_int(2), u1});
  CHECK(a12 != a21);
  CHECK(a12 == parse_ok("[1,2]"));
  CHECK(a12 != parse_ok("[1,2.0]"));
  CHECK(a12 != parse_ok("[1,2,3]"));

  JsonValue built = obj({{"b", u1}, {"a", a12}});
  JsonValue read = parse_ok("{ \"a\" : [1, 2], \"b\" : 1 }");
  CHECK(built == read);
  CHECK(built.hash() == read.hash());
  CHECK(built != parse_ok("{\"a\":[1,2],\"b\":1.0}"));
  CHECK(built != parse_ok("{\"a\":[1,2],\"c\":1}"));
  CHECK(built != parse_ok("{\"a\":[1,2]}"));

  // As a hash-map key, values of different kinds stay apart.
  std::unordered_map<JsonValue, int, hovra::JsonValueHash> map;
  map[u1] = 1;
  map[f1] = 2;
  map[t] = 3;
  map[s1] = 4;
  map[JsonValue::signed_int(1)] = 5;  // same key as u1
  CHECK(map.size() == 4);
  CHECK(map[u1] == 5 && map[f1] == 2 && map[t] == 3 && map[s1] == 4);
  CHECK(map.count(parse_ok("1")) == 1 && map.count(parse_ok("1.0")) == 1 && map.count(parse_ok("2")) == 0);
}

void test_find() {
  JsonValue v = parse_ok("{\"a\":1,\"b\":{\"c\":true}}");
  CHECK(v.find("a") && *v.find("a") == JsonValue::unsigned_int(1));
  CHECK(v.find("c") == nullptr);
  CHECK(v.find("b") && v.find("b")->find("c") && v.find("b")->find("c")->as_bool());
  CHECK(parse_ok("[1]").find("a") == nullptr);
  CHECK(JsonValue::unsigned_int(3).number_as_double() == 3.0);
  CHECK(JsonValue::signed_int(-3).number_as_double() == -3.0);
  CHECK(JsonValue::unsigned_int(UINT64_MAX).number_as_double() == 18446744073709551616.0);
}

// ---------------------------------------------------------------------------

void test_writer_exact_output() {
  CHECK_TEXT(to_json_text(JsonValue()), "null");
  CHECK_TEXT(to_json_text(JsonValue::boolean(true)), "true");
  CHECK_TEXT(to_json_text(JsonValue::boolean(false)), "false");
  CHECK_TEXT(to_json_text(JsonValue::unsigned_int(UINT64_MAX)), "18446744073709551615");
  CHECK_TEXT(to_json_text(JsonValue::signed_int(INT64_MIN)), "-9223372036854775808");
  CHECK_TEXT(to_json_text(JsonValue::signed_int(7)), "7");
  CHECK_TEXT(to_json_text(parse_ok(" { \"b\" : [ 1 , { } , [ ] ] ,\n\t\"a\" : null } ")),
             "{\"a\":null,\"b\":[1,{},[]]}");
  // Keys in byte order: upper case before lower case, multi-byte UTF-8 last.
  CHECK_TEXT(to_json_text(parse_ok("{\"\xc3\xa9\":3,\"a\":2,\"A\":1,\"\":0,\"aa\":4}")),
             "{\"\":0,\"A\":1,\"a\":2,\"aa\":4,\"\xc3\xa9\":3}");
}

void test_writer_floats() {
  CHECK_TEXT(to_json_text(JsonValue::floating(1.0)), "1.0");
  CHECK_TEXT(to_json_text(JsonValue::floating(-0.0)), "-0.0");
  CHECK_TEXT(to_json_text(JsonValue::floating(0.0)), "0.0");
  CHECK_TEXT(to_json_text(JsonValue::floating(0.1)), "0.1");
  CHECK_TEXT(to_json_text(JsonValue::floating(-2.5)), "-2.5");
  CHECK_TEXT(to_json_text(JsonValue::floating(100.0)), "100.0");
  CHECK_TEXT(to_json_text(JsonValue::floating(1e100)), "1e+100");
  CHECK_TEXT(to_json_text(JsonValue::floating(1e-7)), "1e-07");
  CHECK_TEXT(to_json_text(JsonValue::floating(5e-324)), "5e-324");
  CHECK_TEXT(to_json_text(JsonValue::floating(0.1 + 0.2)), "0.30000000000000004");
  CHECK_TEXT(to_json_text(JsonValue::floating(18446744073709551616.0)), "18446744073709551616.0");
}

// Fewest significant digits (1..17) with which printf's %e form reads back.
int shortest_digits(double d) {
  char buf[64];
  for (int p = 1; p <= 17; ++p) {
    std::snprintf(buf, sizeof buf, "%.*e", p - 1, d);
    if (std::strtod(buf, nullptr) == d) return p;
  }
  return 17;
}

// Significant digits of an exponent-form mantissa such as "-1.25e+10".
int mantissa_digits(const std::string& text) {
  int digits = 0;
  bool started = false;
  for (char c : text) {
    if (c == 'e') break;
    if (c < '0' || c > '9') continue;
    if (c != '0') started = true;
    if (started) ++digits;
  }
  return digits;
}

void test_random_float_round_trip() {
  std::mt19937_64 rng(12345);
  int bad_form = 0, bad_trip = 0, not_shortest = 0;
  for (int i = 0; i < 100000; ++i) {
    std::uint64_t bits = rng();
    if (i % 4 == 1) bits &= 0x800FFFFFFFFFFFFFULL;                             // subnormals
    if (i % 4 == 2) bits = (bits & 0x801FFFFFFFFFFFFFULL) | (0x3F0ULL << 52);  // near 1
    double d;
    std::memcpy(&d, &bits, sizeof d);
    if (!std::isfinite(d)) continue;
    std::string text = to_json_text(JsonValue::floating(d));
    if (text.find_first_of(".e") == std::string::npos) ++bad_form;
    JsonValue back;
    std::string error;
    if (!parse(text, back, error) || back.kind() != Kind::Float || bits_of(back.as_float()) != bits) ++bad_trip;
    if (text.find('e') != std::string::npos && mantissa_digits(text) > shortest_digits(d)) ++not_shortest;
  }
  CHECK(bad_form == 0);
  CHECK(bad_trip == 0);
  CHECK(not_shortest == 0);
  // Integral doubles in fixed form read back as floats, not integers.
  for (double d : {1.0, 123456789.0, 1e15, 1e16, 9007199254740993.0, 123456789012345680000.0}) {
    JsonValue back = parse_ok(to_json_text(JsonValue::floating(d)));
    CHECK(back.kind() == Kind::Float && back.as_float() == d);
  }
}

void test_writer_escapes() {
  CHECK_TEXT(to_json_text(JsonValue::string("q\"b\\s/")), "\"q\\\"b\\\\s/\"");
  CHECK_TEXT(to_json_text(JsonValue::string("\b\f\n\r\t")), "\"\\b\\f\\n\\r\\t\"");
  CHECK_TEXT(to_json_text(JsonValue::string(std::string("\0\x01\x1f\x1b", 4))), "\"\\u0000\\u0001\\u001f\\u001b\"");
  CHECK_TEXT(to_json_text(JsonValue::string("\x7f")), "\"\x7f\"");
  CHECK_TEXT(to_json_text(JsonValue::string("\xc3\xa9\xe2\x80\xa8\xf0\x9f\x98\x80")),
             "\"\xc3\xa9\xe2\x80\xa8\xf0\x9f\x98\x80\"");
  CHECK_TEXT(to_json_text(obj({{"k\n", JsonValue::string("v")}})), "{\"k\\n\":\"v\"}");
}

void test_reader_strings() {
  CHECK_TEXT(parse_ok("\"\\\"\\\\\\/\\b\\f\\n\\r\\t\"").as_string(), "\"\\/\b\f\n\r\t");
  CHECK_TEXT(parse_ok("\"\\u00e9\\u00E9\"").as_string(), "\xc3\xa9\xc3\xa9");
  CHECK_TEXT(parse_ok("\"\\u20ac\"").as_string(), "\xe2\x82\xac");
  CHECK_TEXT(parse_ok("\"\\ud83d\\ude00\"").as_string(), "\xf0\x9f\x98\x80");
  CHECK_TEXT(parse_ok("\"\\uDBFF\\uDFFF\"").as_string(), "\xf4\x8f\xbf\xbf");
  CHECK(parse_ok("\"\\u0000\"").as_string() == std::string(1, '\0'));
  CHECK_TEXT(parse_ok("\"\x7f\xc3\xa9\xf0\x9f\x98\x80\"").as_string(), "\x7f\xc3\xa9\xf0\x9f\x98\x80");
  CHECK_TEXT(parse_ok("\"\"").as_string(), "");

  // Unpaired surrogates are errors.
  CHECK(contains(parse_error("\"\\ud800\""), "surrogate"));
  CHECK(contains(parse_error("\"\\udc00\""), "surrogate"));
  CHECK(contains(parse_error("\"\\ud800\\u0041\""), "surrogate"));
  CHECK(contains(parse_error("\"\\ud800x\""), "surrogate"));
  CHECK(contains(parse_error("\"\\ud800\\n\""), "surrogate"));
  CHECK(contains(parse_error("\"\\ud800\\ud800\""), "surrogate"));
  CHECK(contains(parse_error("\"\\ud800"), "end of input"));
  CHECK(contains(parse_error("\"\\ud800\\"), "end of input"));

  // Bad escapes and raw control characters.
  CHECK(contains(parse_error("\"\\x\""), "escape"));
  CHECK(contains(parse_error("\"\\u12\""), "escape"));
  CHECK(contains(parse_error("\"\\u12G4\""), "escape"));
  CHECK(contains(parse_error("\"\\U0041\""), "escape"));
  CHECK(contains(parse_error("\"a\x01\""), "control character"));
  CHECK(contains(parse_error("\"a\tb\""), "control character"));
  CHECK(contains(parse_error("\"a\nb\""), "control character"));
  CHECK(contains(parse_error(std::string("\"a\0b\"", 5)), "control character"));
  CHECK(contains(parse_error("\"abc"), "end of input"));
  CHECK(contains(parse_error("\"abc\\"), "end of input"));

  // Invalid UTF-8.
  for (const char* bad : {"\"\xff\"", "\"\x80\"", "\"\xc0\xaf\"", "\"\xc1\xbf\"", "\"\xe0\x80\xaf\"",
                          "\"\xed\xa0\x80\"", "\"\xf0\x80\x80\xaf\"", "\"\xf4\x90\x80\x80\"", "\"\xf5\x80\x80\x80\"",
                          "\"\xe2\x82\"", "\"\xc3\"", "\"\xc3", "\"\xe2\x28\xa1\""}) {
    if (!CHECK(contains(parse_error(bad), "UTF-8"))) std::fprintf(stderr, "    input: %s\n", bad);
  }
  CHECK(!parse_error("\xef\xbb\xbf{}").empty());  // a byte-order mark is not whitespace
  CHECK(!parse_error("{\"a\":1}\xc3\xa9").empty());
}

void test_reader_grammar() {
  for (const char* bad : {"",
                          " ",
                          "01",
                          "-01",
                          "00",
                          "1.",
                          ".5",
                          "+1",
                          "1e",
                          "1e+",
                          "1E-",
                          "-",
                          "--1",
                          "1.e5",
                          "0x10",
                          "[1,]",
                          "[,1]",
                          "[1 2]",
                          "[",
                          "]",
                          "{",
                          "}",
                          "{\"a\":1,}",
                          "{a:1}",
                          "{'a':1}",
                          "{\"a\"}",
                          "{\"a\" 1}",
                          "{\"a\":}",
                          "{1:1}",
                          "'a'",
                          "tru",
                          "nul",
                          "True",
                          "nulll",
                          "fals",
                          "[true false]",
                          "{\"a\":1 \"b\":2}",
                          "\f1",
                          "1\f",
                          "\v1",
                          "[1]x",
                          "1 2",
                          "{}{}",
                          "[]]",
                          "\"a\"\"b\"",
                          "/*c*/1",
                          "1//c",
                          "\x00",
                          "[1,\x00]"}) {
    JsonValue v;
    std::string error;
    std::string text = bad;
    if (!CHECK(!parse(text, v, error))) std::fprintf(stderr, "    accepted: %s\n", bad);
  }
  CHECK(!parse_error(std::string("1\0", 2)).empty());

  CHECK(parse_ok(" \t\r\n{}\n\r\t ") == JsonValue::object({}));
  CHECK(parse_ok("[ ]") == JsonValue::array({}));
  CHECK(parse_ok("{ }") == JsonValue::object({}));
  CHECK(parse_ok("true") == JsonValue::boolean(true));
  CHECK(parse_ok("null").kind() == Kind::Null);
  CHECK(parse_ok("\"x\"") == JsonValue::string("x"));
  CHECK(parse_ok("[[],[[]],{\"a\":[{}]}]") == parse_ok("[ [ ] , [ [ ] ] , { \"a\" : [ { } ] } ]"));
}

void test_error_positions() {
  CHECK_TEXT(parse_error(""), "unexpected end of input at line 1 column 1");
  CHECK_TEXT(parse_error("[x"), "expected value at line 1 column 2");
  CHECK_TEXT(parse_error("[1,\n  x]"), "expected value at line 2 column 3");
  CHECK_TEXT(parse_error("{\"a\" 1}"), "expected ':' at line 1 column 6");
  CHECK_TEXT(parse_error("{\"a\":1}\n\n  ?"), "trailing characters at line 3 column 3");
  CHECK_TEXT(parse_error("[1,2"), "unexpected end of input at line 1 column 5");
  CHECK(contains(parse_error("\r\n[\r\n1,\r\n]"), "line 4 column 1"));
  CHECK(contains(parse_error("[1 2]"), "line 1 column 4"));
  CHECK(contains(parse_error("{\"a\":1 \"b\":2}"), "line 1 column 8"));
  CHECK(contains(parse_error("{1:1}"), "line 1 column 2"));
  CHECK(contains(parse_error("\"\xc3\xa9\xff\""), "line 1 column 4"));
  CHECK(contains(parse_error("01"), "line 1 column 2"));
  CHECK(contains(parse_error("1e400"), "line 1 column 1"));
}

void test_nesting_limit() {
  std::string ok = std::string(127, '[') + std::string(127, ']');
  JsonValue v = parse_ok(ok);
  CHECK(to_json_text(v) == ok);
  std::string deep = std::string(128, '[') + std::string(128, ']');
  std::string error = parse_error(deep);
  CHECK(contains(error, "127"));
  CHECK(contains(error, "line 1 column 128"));

  // Objects count as levels too; the outermost one is level one.
  std::string objects;
  for (int i = 0; i < 126; ++i) objects += "{\"k\":";
  objects += "[1]";
  for (int i = 0; i < 126; ++i) objects += "}";
  parse_ok(objects);
  std::string objects_deep;
  for (int i = 0; i < 127; ++i) objects_deep += "{\"k\":";
  objects_deep += "[1]";
  for (int i = 0; i < 127; ++i) objects_deep += "}";
  parse_error(objects_deep);
  // Scalars inside the deepest container do not add a level.
  parse_ok(std::string(127, '[') + "1,\"s\",null" + std::string(127, ']'));

  // Very deep or unclosed input fails without exhausting the stack.
  parse_error(std::string(1000000, '['));
  parse_error(std::string(1000000, '[') + std::string(1000000, ']'));
  std::string braces;
  for (int i = 0; i < 200000; ++i) braces += "{\"\":";
  parse_error(braces);
}

void test_duplicate_keys() {
  JsonValue v = parse_ok("{\"a\":1,\"a\":2}");
  CHECK(v.as_object().size() == 1);
  CHECK(*v.find("a") == JsonValue::unsigned_int(2));
  v = parse_ok("{\"b\":1,\"a\":2,\"b\":[3]}");
  CHECK_TEXT(to_json_text(v), "{\"a\":2,\"b\":[3]}");
  // Escaped and raw spellings of one key are the same key.
  v = parse_ok("{\"\\u0061\":1,\"a\":2.5}");
  CHECK_TEXT(to_json_text(v), "{\"a\":2.5}");
  v = parse_ok("{\"k\":{\"x\":1},\"k\":{\"y\":2}}");
  CHECK_TEXT(to_json_text(v), "{\"k\":{\"y\":2}}");
}

void test_failure_leaves_output_alone() {
  JsonValue out = JsonValue::string("sentinel");
  std::string error = "old";
  CHECK(!parse("[1,2,", out, error));
  CHECK(out == JsonValue::string("sentinel"));
  CHECK(error != "old");
  CHECK(parse("[1]", out, error));
  CHECK(out == parse_ok("[1]"));
}

// ---------------------------------------------------------------------------

void test_random_round_trips() {
  std::mt19937_64 rng(777);
  int bad = 0;
  for (int i = 0; i < 20000; ++i) {
    JsonValue v = random_json::value(rng);
    std::string text = to_json_text(v);
    JsonValue back;
    std::string error;
    if (!parse(text, back, error) || back != v || back.hash() != v.hash() || to_json_text(back) != text) {
      if (++bad <= 3) std::fprintf(stderr, "    round trip failed: %s (%s)\n", text.c_str(), error.c_str());
    }
  }
  CHECK(bad == 0);
}

// Every prefix, every single-byte change and random byte soup must be
// answered without a crash; the sanitizers catch any out-of-bounds read.
void test_hostile_input() {
  std::mt19937_64 rng(4242);
  const std::string doc =
      "{\"a\":[1,-2,3.5e-3,true,false,null,\"x\\u00e9\\ud83d\\ude00\\n\"],\"b\":{\"c\":18446744073709551616},"
      "\"\xc3\xa9\":\"\xf0\x9f\x98\x80\"}";
  parse_ok(doc);
  for (std::size_t n = 0; n < doc.size(); ++n) parse_error(doc.substr(0, n));
  const char interesting[] = "{}[]\",:\\-+.0123456789eEuntrfalsNI \t\n\x01\x7f\x80\xc3\xed\xf0\xff";
  JsonValue v;
  std::string error;
  for (std::size_t i = 0; i < doc.size(); ++i) {
    for (char c : std::string(interesting, sizeof interesting - 1)) {
      std::string mutated = doc;
      mutated[i] = c;
      parse(mutated, v, error);
    }
  }
  for (int i = 0; i < 200000; ++i) {
    std::string soup(rng() % 24, ' ');
    for (char& c : soup) {
      c = (rng() % 4 == 0) ? static_cast<char>(rng()) : interesting[rng() % (sizeof interesting - 1)];
    }
    if (parse(soup, v, error)) {
      // Whatever is accepted must write and read back to the same value.
      JsonValue back;
      CHECK(parse(to_json_text(v), back, error) && back == v);
    } else {
      CHECK(contains(error, " at line ") && contains(error, " column "));
    }
  }
}

}  // namespace

int main() {
  test_integer_classification();
  test_float_classification();
  test_out_of_range_floats();
  test_non_finite_words_refused();
  test_equality_and_hash();
  test_find();
  test_writer_exact_output();
  test_writer_floats();
  test_random_float_round_trip();
  test_writer_escapes();
  test_reader_strings();
  test_reader_grammar();
  test_error_positions();
  test_nesting_limit();
  test_duplicate_keys();
  test_failure_leaves_output_alone();
  test_random_round_trips();
  test_hostile_input();
  return check::exit_code("test_json");
}
