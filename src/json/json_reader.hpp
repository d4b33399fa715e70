// A small strict JSON reader: a cursor over borrowed UTF-8 bytes that reads one
// token at a time (whitespace, strings, numbers, literals, container steps) and
// can skip a whole value of any depth. It knows nothing of what a document
// means; typed decoders sit on top and ask for the next token they expect.
//
// Faults carry a byte offset only. Line and column are computed from it when a
// fault is reported, so the happy path never counts line feeds.
//
// No exceptions: every reading call returns false (or Step::kFault) after
// recording the first fault, and callers return at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace velorin::json {

// 1 + the number of line feeds before `offset`, and the number of bytes
// between the last of them (or the start of the text) and `offset`.
struct Position {
  std::size_t line;
  std::size_t column;
};
Position position_of(std::string_view text, std::size_t offset) noexcept;

// The first fault met while reading and the byte offset it is reported at.
struct Fault {
  std::string message;
  std::size_t offset = 0;
};

// A number as JSON wrote it. Integers without fraction or exponent stay exact
// while they fit: non-negative ones up to 2^64-1, negative ones down to -2^63.
// Everything else (fractions, exponents, larger integers, and -0) is a double.
struct Number {
  enum class Kind : std::uint8_t { kUnsigned, kNegative, kFloat };
  Kind kind = Kind::kUnsigned;
  std::uint64_t magnitude = 0;  // kUnsigned: the value; kNegative: its absolute value
  double value = 0.0;           // kFloat

  double as_double() const noexcept {
    switch (kind) {
      case Kind::kUnsigned:
        return static_cast<double>(magnitude);
      case Kind::kNegative:
        return -static_cast<double>(magnitude);
      case Kind::kFloat:
        break;
    }
    return value;
  }
};

// How a value is named in an "invalid type" or "invalid value" message:
// "integer `5`", "floating point `1.5`".
std::string describe(const Number& number);
// The shortest digits that read back as `value`, with a decimal point or an
// exponent: 7.0, 0.001234, 1e20, 1.5e-7.
std::string format_float(double value);
// A decoded string in double quotes with backslash escapes for quotes,
// backslashes and control characters, as messages show it.
std::string quote_string(std::string_view text);

inline constexpr int kEndOfText = -1;  // peek() at the end of the text

class Reader {
 public:
  enum class Step : std::uint8_t { kItem, kEnd, kFault };

  explicit Reader(std::string_view text) noexcept
      : begin_(text.data()), cur_(text.data()), end_(text.data() + text.size()) {}

  // Skips whitespace and returns the next byte without consuming it, or kEndOfText.
  int peek() noexcept {
    while (cur_ != end_) {
      auto c = static_cast<unsigned char>(*cur_);
      if (c > ' ' || !is_space(c)) return c;
      ++cur_;
    }
    return kEndOfText;
  }
  void advance() noexcept { ++cur_; }
  std::size_t offset() const noexcept { return static_cast<std::size_t>(cur_ - begin_); }
  std::size_t size() const noexcept { return static_cast<std::size_t>(end_ - begin_); }
  const Fault& fault() const noexcept { return fault_; }

  static bool starts_number(int c) noexcept { return c == '-' || (c >= '0' && c <= '9'); }

  // --- scalars; each is called with the cursor on the value's first byte ---

  // A number; "number out of range" when its magnitude overflows a double.
  bool read_number(Number& out);
  // A string, unescaped. The view points into the text when the string has no
  // escapes, otherwise into a scratch buffer valid until the next string.
  bool read_string(std::string_view& out);
  // `word` is "true", "false" or "null".
  bool read_literal(std::string_view word);

  // --- containers ---

  // After '[' (or an element): is there another element? kEnd consumes ']'.
  Step next_element(bool& first);
  // After '{' (or a member's value): reads the next key, up to its closing
  // quote. kEnd consumes '}'.
  Step next_key(bool& first, std::string_view& key);
  // The ':' between a key and its value.
  bool read_colon();
  // After the last element of an array that must hold a fixed number of
  // elements: consumes ']'; anything more is "trailing characters".
  bool close_fixed_array();
  // Checks and skips one value of any type and depth, without recursion.
  bool skip_value();
  // Only whitespace may follow the document.
  bool expect_end();

  // --- faults; all return false so callers can `return r.fail...(...)` ---

  // At the current offset.
  bool fail_here(std::string message);
  // "invalid type: {found}, expected {expected}", describing the value at the
  // cursor: scalars are read first (the fault lies just after them), arrays
  // and objects are not (it lies on their opening bracket).
  bool fail_invalid_type(std::string_view expected);
  // A number that was read but does not fit: "invalid type" for floats,
  // "invalid value" for negative integers.
  bool fail_number(const Number& number, std::string_view expected);

 private:
  static bool is_space(unsigned char c) noexcept {
    return c == ' ' || c == '\n' || c == '\t' || c == '\r';
  }
  static bool is_digit(int c) noexcept { return c >= '0' && c <= '9'; }

  bool fail_at(std::size_t offset, std::string message);
  // Just after the byte under the cursor (the end of the text if none).
  bool fail_after_peek(std::string message);
  bool fail_at_end(std::string message);

  // Digits and exponent of a number, checked against the grammar.
  struct NumberText {
    const char* start;       // first byte, '-' included
    const char* int_digits;  // first digit of the integer part
    std::size_t int_count;   // digits in the integer part
    std::size_t frac_count;  // digits after '.'
    std::int64_t exponent;   // written exponent, saturated far beyond the double range
    bool negative;
    bool plain;              // no fraction and no exponent
    std::uint64_t mantissa;  // all digits, exact while int_count + frac_count <= 19
  };
  bool scan_number(NumberText& out);
  bool convert_number(const NumberText& text, Number& out);
  bool read_string_slow(const char* special, std::string_view& out);
  template <bool kKeep>
  bool scan_escapes(const char* p);
  bool read_hex_escape(const char*& p, std::uint32_t& unit);
  bool skip_string();
  bool skip_key_and_colon();

  const char* begin_;
  const char* cur_;
  const char* end_;
  std::string scratch_;
  std::vector<bool> open_;  // skip_value's stack of open containers: true = object
  Fault fault_;
};

}  // namespace velorin::json
