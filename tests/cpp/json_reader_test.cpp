// The JSON reader on its own: number conversion, the texts used to describe
// values in messages, skipping, and positions.
#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>

#include "case_name.hpp"
#include "json/json_reader.hpp"

namespace velorin::json {
namespace {

using testing_support::case_name;

struct NumberCase {
  const char* text;
  Number::Kind kind;
  std::uint64_t magnitude;  // integers
  double value;             // floats
};

class NumberTest : public testing::TestWithParam<NumberCase> {};

TEST_P(NumberTest, ReadsExactlyAsWritten) {
  const NumberCase& c = GetParam();
  Reader r(c.text);
  Number n;
  ASSERT_TRUE(r.read_number(n)) << r.fault().message;
  EXPECT_EQ(r.offset(), std::string_view(c.text).size());
  ASSERT_EQ(n.kind, c.kind);
  if (c.kind == Number::Kind::kFloat) {
    // Bitwise: the sign of zero and the last bit both matter.
    EXPECT_EQ(std::bit_cast<std::uint64_t>(n.value), std::bit_cast<std::uint64_t>(c.value))
        << n.value << " vs " << c.value;
  } else {
    EXPECT_EQ(n.magnitude, c.magnitude);
  }
}

using K = Number::Kind;
INSTANTIATE_TEST_SUITE_P(
    Numbers, NumberTest,
    testing::Values(NumberCase{"0", K::kUnsigned, 0, 0}, NumberCase{"7", K::kUnsigned, 7, 0},
                    NumberCase{"18446744073709551615", K::kUnsigned, UINT64_MAX, 0},
                    NumberCase{"10000000000000000000", K::kUnsigned, 10000000000000000000ULL, 0},
                    NumberCase{"9007199254740993", K::kUnsigned, 9007199254740993ULL, 0},
                    // Integers past the unsigned range are read as floats.
                    NumberCase{"18446744073709551616", K::kFloat, 0, 18446744073709551616.0},
                    NumberCase{"99999999999999999999", K::kFloat, 0, 1e20},
                    NumberCase{"-1", K::kNegative, 1, 0},
                    NumberCase{"-9223372036854775808", K::kNegative, 9223372036854775808ULL, 0},
                    NumberCase{"-9223372036854775809", K::kFloat, 0, -9223372036854775808.0},
                    NumberCase{"-0", K::kFloat, 0, -0.0}, NumberCase{"-0.0", K::kFloat, 0, -0.0},
                    NumberCase{"0.0", K::kFloat, 0, 0.0}, NumberCase{"7.0", K::kFloat, 0, 7.0},
                    NumberCase{"1e3", K::kFloat, 0, 1000.0},
                    NumberCase{"1E+3", K::kFloat, 0, 1000.0},
                    NumberCase{"42.5063746", K::kFloat, 0, 42.5063746},
                    NumberCase{"-1.5213451", K::kFloat, 0, -1.5213451},
                    NumberCase{"0.1", K::kFloat, 0, 0.1}, NumberCase{"37.48", K::kFloat, 0, 37.48},
                    // Past the exact fast path: still correctly rounded.
                    NumberCase{"9007199254740993.0", K::kFloat, 0, 9007199254740992.0},
                    NumberCase{"3.141592653589793238462643383279", K::kFloat, 0, 3.141592653589793},
                    NumberCase{"2.2250738585072011e-308", K::kFloat, 0, 2.2250738585072011e-308},
                    NumberCase{"1.7976931348623157e308", K::kFloat, 0, 1.7976931348623157e308},
                    NumberCase{"4.9e-324", K::kFloat, 0, 4.9e-324},
                    NumberCase{"123456789e-30", K::kFloat, 0, 123456789e-30},
                    // Rounded wrongly by some platforms' own conversion.
                    NumberCase{"-0.641870843076E+31", K::kFloat, 0, -0.641870843076E+31},
                    // Either side of the rounding boundaries at both ends of the range.
                    NumberCase{"1.7976931348623158e308", K::kFloat, 0, 1.7976931348623157e308},
                    NumberCase{"2.4703282292062327e-324", K::kFloat, 0, 0.0},
                    NumberCase{"2.4703282292062328e-324", K::kFloat, 0, 4.9e-324},
                    // Magnitudes too small for a double are zero, with their sign.
                    NumberCase{"1e-400", K::kFloat, 0, 0.0},
                    NumberCase{"-1e-400", K::kFloat, 0, -0.0},
                    NumberCase{"0.00000000000000000000000000001e-300", K::kFloat, 0, 0.0},
                    NumberCase{"0e999999999999999999999", K::kFloat, 0, 0.0},
                    NumberCase{"1e-99999999999999999999999", K::kFloat, 0, 0.0}),
    [](const auto& info) { return case_name(info.index, {info.param.text}); });

// Random numbers of every length, cut at every place relative to the eight
// byte chunks the reader converts at once, against glibc's strtod, which
// rounds correctly on every target (std::from_chars does not everywhere).
TEST(NumberProperty, AgreesWithTheStandardConversion) {
  std::mt19937_64 rng(20240607);
  auto digits = [&rng](std::size_t count, bool leading_nonzero) {
    std::string out;
    for (std::size_t i = 0; i < count; ++i)
      out.push_back(
          static_cast<char>('0' + (i == 0 && leading_nonzero ? 1 + rng() % 9 : rng() % 10)));
    return out;
  };
  // Bytes either side of the digits and above them, where a word-wide test
  // could borrow or carry into its neighbour.
  const char* followers[] = {"",
                             ",",
                             "]",
                             " ",
                             "}\n",
                             ",\"lat\": 1.5}",
                             "/",
                             ":",
                             "\xff"
                             "9",
                             "\xfa",
                             "\xc3\xa9"};
  for (int i = 0; i < 200000; ++i) {
    std::string number = rng() % 4 == 0 ? "-" : "";
    const std::size_t int_len = 1 + rng() % 22;
    number += rng() % 8 == 0 ? "0" : digits(int_len, true);
    const bool plain = rng() % 3 == 0;
    if (!plain) {
      if (rng() % 4 != 0) number += "." + digits(1 + rng() % 24, false);
      if (rng() % 3 == 0) {
        number += rng() % 2 ? "e" : "E";
        number += rng() % 3 == 0 ? "-" : rng() % 2 ? "+" : "";
        number += std::to_string(rng() % 40);
      }
    }
    const std::string text = number + followers[rng() % std::size(followers)];
    Reader r(text);
    Number n;
    ASSERT_TRUE(r.read_number(n)) << text << ": " << r.fault().message;
    ASSERT_EQ(r.offset(), number.size()) << text;

    const char* first = number.data();
    const char* last = first + number.size();
    const bool integer = number.find_first_of(".eE") == std::string::npos;
    std::uint64_t u = 0;
    std::int64_t s64 = 0;
    if (integer && number[0] != '-' && std::from_chars(first, last, u).ec == std::errc()) {
      ASSERT_EQ(n.kind, Number::Kind::kUnsigned) << text;
      ASSERT_EQ(n.magnitude, u) << text;
    } else if (integer && std::from_chars(first, last, s64).ec == std::errc() && s64 != 0) {
      ASSERT_EQ(n.kind, Number::Kind::kNegative) << text;
      ASSERT_EQ(n.magnitude, 0 - static_cast<std::uint64_t>(s64)) << text;
    } else {
      const double expected = std::strtod(number.c_str(), nullptr);
      ASSERT_EQ(n.kind, Number::Kind::kFloat) << text;
      ASSERT_EQ(std::bit_cast<std::uint64_t>(n.value), std::bit_cast<std::uint64_t>(expected))
          << text;
    }
  }
}

struct FaultCase {
  const char* text;
  const char* message;
  std::size_t offset;
};

class NumberFaultTest : public testing::TestWithParam<FaultCase> {};

TEST_P(NumberFaultTest, ReportsWhereTheNumberBreaks) {
  const FaultCase& c = GetParam();
  Reader r(c.text);
  Number n;
  ASSERT_FALSE(r.read_number(n));
  EXPECT_EQ(r.fault().message, c.message);
  EXPECT_EQ(r.fault().offset, c.offset);
}

INSTANTIATE_TEST_SUITE_P(
    Numbers, NumberFaultTest,
    testing::Values(
        FaultCase{"01", "invalid number", 2}, FaultCase{"-01", "invalid number", 3},
        FaultCase{"0123456789.5", "invalid number", 2}, FaultCase{"-x", "invalid number", 2},
        FaultCase{"-", "EOF while parsing a value", 1}, FaultCase{"1.x", "invalid number", 3},
        FaultCase{"1.", "EOF while parsing a value", 2}, FaultCase{"1ex", "invalid number", 3},
        FaultCase{"1e+", "EOF while parsing a value", 3},
        FaultCase{"1e400", "number out of range", 5},
        FaultCase{"-1.7976931348623159e308", "number out of range", 23},
        FaultCase{"1.79769313486231581e308", "number out of range", 23},
        FaultCase{"1e99999999999999999999", "number out of range", 22}),
    [](const auto& info) { return case_name(info.index, {info.param.message, info.param.text}); });

struct FloatText {
  double value;
  const char* text;
};

class FormatFloatTest : public testing::TestWithParam<FloatText> {};

TEST_P(FormatFloatTest, ShortestRoundTrip) {
  EXPECT_EQ(format_float(GetParam().value), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Floats, FormatFloatTest,
    testing::Values(FloatText{0.0, "0.0"}, FloatText{-0.0, "-0.0"}, FloatText{7.0, "7.0"},
                    FloatText{1000.0, "1000.0"}, FloatText{1e15, "1000000000000000.0"},
                    FloatText{1e16, "1e16"}, FloatText{1e20, "1e20"}, FloatText{1.5, "1.5"},
                    FloatText{12.34, "12.34"}, FloatText{-12.34, "-12.34"},
                    FloatText{0.001234, "0.001234"}, FloatText{0.00001, "0.00001"},
                    FloatText{0.000001, "1e-6"}, FloatText{1.5e-7, "1.5e-7"},
                    FloatText{18446744073709551616.0, "1.8446744073709552e19"},
                    FloatText{123456789012345678.0, "1.2345678901234568e17"},
                    FloatText{1234567890123456.0, "1234567890123456.0"},
                    FloatText{0.1 + 0.2, "0.30000000000000004"}, FloatText{5e-324, "5e-324"},
                    FloatText{1.7976931348623157e308, "1.7976931348623157e308"}),
    [](const auto& info) { return case_name(info.index, {info.param.text}); });

TEST(QuoteString, EscapesLikeMessagesShowThem) {
  EXPECT_EQ(quote_string("7"), "\"7\"");
  EXPECT_EQ(quote_string("a\"b\\c"), R"("a\"b\\c")");
  EXPECT_EQ(quote_string("\n\r\t"), R"("\n\r\t")");
  EXPECT_EQ(quote_string(std::string_view("\0", 1)), R"("\0")");
  EXPECT_EQ(quote_string("\x01\x1f\x7f"), R"("\u{1}\u{1f}\u{7f}")");
  EXPECT_EQ(quote_string("\xc2\x85"), R"("\u{85}")");  // C1 control
  EXPECT_EQ(quote_string("caf\xc3\xa9 \xf0\x9f\x9a\xb2"), "\"caf\xc3\xa9 \xf0\x9f\x9a\xb2\"");
  EXPECT_EQ(quote_string("'/"), "\"'/\"");
  // Bytes that are not UTF-8 never reach a message as such.
  EXPECT_EQ(quote_string("a\xff"
                         "b\xc3"),
            "\"a\xef\xbf\xbd"
            "b\xef\xbf\xbd\"");
  EXPECT_EQ(quote_string("\xed\xa0\x80"), "\"\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\"");
}

struct StringCase {
  const char* text;
  const char* decoded;
};

class StringTest : public testing::TestWithParam<StringCase> {};

TEST_P(StringTest, Unescapes) {
  Reader r(GetParam().text);
  std::string_view s;
  ASSERT_TRUE(r.read_string(s)) << r.fault().message;
  EXPECT_EQ(s, GetParam().decoded);
  EXPECT_EQ(r.offset(), std::string_view(GetParam().text).size());
}

INSTANTIATE_TEST_SUITE_P(Strings, StringTest,
                         testing::Values(StringCase{R"("")", ""}, StringCase{R"("plain")", "plain"},
                                         StringCase{R"("\"\\\/\b\f\n\r\t")", "\"\\/\b\f\n\r\t"},
                                         StringCase{R"("i\u0064")", "id"},
                                         StringCase{R"("\u00e9\u20AC")", "\xc3\xa9\xe2\x82\xac"},
                                         StringCase{R"("\ud83d\udeb2 x")", "\xf0\x9f\x9a\xb2 x"},
                                         StringCase{R"("\uDBFF\uDFFF")", "\xf4\x8f\xbf\xbf"},
                                         StringCase{"\"caf\xc3\xa9\"", "caf\xc3\xa9"}),
                         [](const auto& info) { return case_name(info.index, {info.param.text}); });

class StringFaultTest : public testing::TestWithParam<FaultCase> {};

TEST_P(StringFaultTest, ReportsTheEscapeOrCharacter) {
  const FaultCase& c = GetParam();
  Reader r(c.text);
  std::string_view s;
  ASSERT_FALSE(r.read_string(s));
  EXPECT_EQ(r.fault().message, c.message);
  EXPECT_EQ(r.fault().offset, c.offset);
}

INSTANTIATE_TEST_SUITE_P(
    Strings, StringFaultTest,
    testing::Values(FaultCase{"\"abc", "EOF while parsing a string", 4},
                    FaultCase{"\"a\\", "EOF while parsing a string", 3},
                    FaultCase{"\"a\\qb\"", "invalid escape", 4},
                    FaultCase{"\"a\tb\"",
                              "control character (\\u0000-\\u001F) found while parsing a string",
                              3},
                    FaultCase{"\"\\u12G4\"", "invalid escape", 6},
                    FaultCase{"\"\\u12\"", "unexpected end of hex escape", 6},
                    FaultCase{"\"\\u12", "EOF while parsing a string", 5},
                    FaultCase{"\"\\udc00\"", "invalid unicode code point", 7},
                    FaultCase{"\"\\ud800\"", "lone leading surrogate in hex escape", 8},
                    FaultCase{"\"\\ud800\\n\"", "lone leading surrogate in hex escape", 9},
                    FaultCase{"\"\\ud800\\u0041\"", "lone leading surrogate in hex escape", 13},
                    FaultCase{"\"\\ud800\\ud800\"", "lone leading surrogate in hex escape", 13},
                    FaultCase{"\"\\ud800", "EOF while parsing a string", 7},
                    FaultCase{"\"\\ud800\\", "EOF while parsing a string", 8}),
    [](const auto& info) { return case_name(info.index, {info.param.message, info.param.text}); });

class SkipFaultTest : public testing::TestWithParam<FaultCase> {};

TEST_P(SkipFaultTest, SkippingChecksTheGrammar) {
  const FaultCase& c = GetParam();
  Reader r(c.text);
  ASSERT_FALSE(r.skip_value());
  EXPECT_EQ(r.fault().message, c.message);
  EXPECT_EQ(r.fault().offset, c.offset);
}

INSTANTIATE_TEST_SUITE_P(
    Skip, SkipFaultTest,
    testing::Values(
        FaultCase{"", "EOF while parsing a value", 0}, FaultCase{"[1 2]", "expected `,` or `]`", 4},
        FaultCase{"{\"a\":1 \"b\":2}", "expected `,` or `}`", 8},
        FaultCase{"{\"a\" 1}", "expected `:`", 6}, FaultCase{"{1:2}", "key must be a string", 2},
        FaultCase{"{\"a\":1,2:3}", "key must be a string", 8},
        FaultCase{"[1,]", "trailing comma", 4}, FaultCase{"{\"a\":1,}", "trailing comma", 8},
        FaultCase{"[1,}", "expected value", 4}, FaultCase{"[", "EOF while parsing a list", 1},
        FaultCase{"[1", "EOF while parsing a list", 2},
        FaultCase{"[1,", "EOF while parsing a value", 3},
        FaultCase{"{", "EOF while parsing an object", 1},
        FaultCase{"{\"a\"", "EOF while parsing an object", 4},
        FaultCase{"{\"a\":", "EOF while parsing a value", 5},
        FaultCase{"{\"a\":1,", "EOF while parsing an object", 7},
        FaultCase{"{\"a\":{\"b\":1, ", "EOF while parsing an object", 13},
        FaultCase{"-", "invalid number", 1}, FaultCase{"[-", "invalid number", 2},
        FaultCase{"[- ", "invalid number", 3}, FaultCase{"0.", "invalid number", 2},
        FaultCase{"[1e+", "invalid number", 4}, FaultCase{"{\"a\":-2.5E", "invalid number", 10},
        FaultCase{"\"\\u12\"", "unexpected end of hex escape", 6},
        FaultCase{"\"\\ud800\\q\"", "invalid escape", 9}, FaultCase{"[tru]", "expected ident", 5},
        FaultCase{"nul", "EOF while parsing a value", 3}, FaultCase{"[x]", "expected value", 2},
        FaultCase{"[01]", "invalid number", 3},
        FaultCase{"{\"a\":[{\"b\":[1,{]}]}", "key must be a string", 16}),
    [](const auto& info) { return case_name(info.index, {info.param.message, info.param.text}); });

// A skipped value is checked against the grammar but never decoded, so a
// surrogate escape that names no character is no fault there.
class SkipSurrogateTest : public testing::TestWithParam<const char*> {};

TEST_P(SkipSurrogateTest, IsAccepted) {
  Reader r(GetParam());
  ASSERT_TRUE(r.skip_value()) << r.fault().message;
  EXPECT_EQ(r.offset(), std::string_view(GetParam()).size());
}

INSTANTIATE_TEST_SUITE_P(Skip, SkipSurrogateTest,
                         testing::Values(R"("\udc00")", R"("\ud800")", R"("\ud800x")",
                                         R"("\ud800\u0041")", R"("\ud800\ud800")",
                                         R"("\udfff\ud800")", R"({"\ud800": ["\udc00"]})"),
                         [](const auto& info) { return case_name(info.index, {info.param}); });

TEST(Skip, AcceptsEveryKindOfValueAndStopsAfterIt) {
  const char* text =
      R"( {"a": [1, -2.5e-3, true, false, null, "s\"\u00e9", {}, [], {"b": [[{}]]}], "": 1e999}, 7)";
  Reader r(text);
  ASSERT_TRUE(r.skip_value()) << r.fault().message;
  EXPECT_EQ(r.peek(), ',');
}

TEST(Skip, AMillionLevelsDeepNeedNoNativeStack) {
  constexpr std::size_t kDepth = 1'000'000;
  std::string deep = std::string(kDepth, '[') + std::string(kDepth, ']');
  Reader ok(deep);
  EXPECT_TRUE(ok.skip_value());
  EXPECT_EQ(ok.offset(), deep.size());

  deep.pop_back();
  Reader cut(deep);
  ASSERT_FALSE(cut.skip_value());
  EXPECT_EQ(cut.fault().message, "EOF while parsing a list");
  EXPECT_EQ(cut.fault().offset, deep.size());

  std::string objects;
  for (std::size_t i = 0; i < kDepth; ++i) objects += "{\"a\":";
  objects += "0";
  objects += std::string(kDepth, '}');
  Reader nested(objects);
  EXPECT_TRUE(nested.skip_value());

  objects[objects.size() / 2] = ']';
  Reader broken(objects);
  EXPECT_FALSE(broken.skip_value());
}

TEST(Position, CountsLineFeedsAndBytes) {
  const std::string_view text = "ab\ncd\n\xc3\xa9x";
  EXPECT_EQ(position_of(text, 0).line, 1u);
  EXPECT_EQ(position_of(text, 0).column, 0u);
  EXPECT_EQ(position_of(text, 2).column, 2u);
  EXPECT_EQ(position_of(text, 3).line, 2u);
  EXPECT_EQ(position_of(text, 3).column, 0u);
  EXPECT_EQ(position_of(text, 9).line, 3u);
  EXPECT_EQ(position_of(text, 9).column, 3u);  // bytes, not characters
}

}  // namespace
}  // namespace velorin::json
