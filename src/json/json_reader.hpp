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

#include <bit>
#include <cfloat>
#include <cstddef>
#include <cstdint>
#include <cstring>
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
  // quote. kEnd consumes '}'. `likely` is a guess at the key: when the text
  // holds exactly that key, unescaped, it is taken without a general scan.
  Step next_key(bool& first, std::string_view& key, std::string_view likely = {});
  // The ':' between a key and its value.
  bool read_colon();
  // After the last element of an array that must hold a fixed number of
  // elements: consumes ']'; anything more is "trailing characters".
  bool close_fixed_array();
  // Checks and skips one value of any type and depth, without recursion.
  bool skip_value();
  // Only whitespace may follow the document.
  bool expect_end();

  // --- exact layouts ---

  // Consumes `bytes` when the text goes on with exactly them, and nothing
  // otherwise: decoders try the layout their writers use with it before
  // asking for tokens one by one.
  bool take(std::string_view bytes) noexcept {
    const std::size_t n = bytes.size();
    if (static_cast<std::size_t>(end_ - cur_) < n) return false;
    // 8 to 16 bytes, as most keys with their quotes and colon are: two words
    // that may overlap, compared inline where a general compare is a call.
    const bool same = n >= 8 && n <= 16 ? same_word(cur_, bytes.data()) &&
                                              same_word(cur_ + n - 8, bytes.data() + n - 8)
                                        : std::memcmp(cur_, bytes.data(), n) == 0;
    if (same) cur_ += n;
    return same;
  }
  // Moves the cursor back to an offset it was at, to read the same bytes again.
  void rewind(std::size_t offset) noexcept { cur_ = begin_ + offset; }

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
  static bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }
  static bool same_word(const char* a, const char* b) noexcept {
    std::uint64_t x, y;
    std::memcpy(&x, a, sizeof x);
    std::memcpy(&y, b, sizeof y);
    return x == y;
  }

  bool fail_at(std::size_t offset, std::string_view message);
  // Just after the byte under the cursor (the end of the text if none).
  bool fail_after_peek(std::string_view message);
  bool fail_at_end(std::string_view message);

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
  const char* read_digits(const char* p, std::uint64_t& value) const noexcept;
  bool bad_number(const char* at);
  bool read_number_slow(Number& out);
  // m * 10^q correctly rounded, for an m of at most 19 digits; false
  // in the rare cases that need the digits themselves.
  static bool decimal_to_double(std::uint64_t m, std::int64_t q, bool negative,
                                double& out) noexcept;
  bool read_string_slow(const char* special, std::string_view& out);
  template <bool kKeep>
  bool scan_escapes(const char* p);
  bool read_hex_escape(const char*& p, std::uint32_t& unit);
  bool skip_string();
  bool skip_key_and_colon();
  // The faults of container punctuation, given the byte found (or kEndOfText).
  enum class KeyAt : std::uint8_t { kFirst, kSeparator, kAfterComma };
  Step list_fault(int c, bool after_comma);
  Step object_fault(int c, KeyAt where);
  bool colon_fault(int c);

  const char* begin_;
  const char* cur_;
  const char* end_;
  std::string scratch_;
  std::vector<bool> open_;  // skip_value's stack of open containers: true = object
  Fault fault_;
};

// ---------------------------------------------------------------------------
// The hot paths, inline: every node and edge passes through them. Anything
// unusual (escapes, faults, long numbers) leaves for the out-of-line code.

namespace detail {

// The powers of ten that a double holds exactly: a mantissa of at most 53
// bits times or divided by one of them is one correctly rounded operation.
inline constexpr double kExactPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                               1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                               1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// Bytes that end the plain run of a string: the closing quote, a backslash,
// or a raw control character (which JSON forbids inside strings).
struct StringStops {
  bool stop[256];
  constexpr StringStops() : stop() {
    for (int c = 0; c < 256; ++c) stop[c] = c == '"' || c == '\\' || c < 0x20;
  }
};
inline constexpr StringStops kStringStops;

inline const char* find_string_stop(const char* p, const char* end) noexcept {
  while (p != end && !kStringStops.stop[static_cast<unsigned char>(*p)]) ++p;
  return p;
}

}  // namespace detail

// Eight bytes at a time where the text allows: a digit costs a multiply-add
// that waits for the one before, and a coordinate or a length written with
// 17 digits is most of a record's time. The word's leading digits are
// counted and converted together, then joined to `value` with one multiply,
// which wraps exactly as digit after digit would. Only bytes after the first
// one that is no digit can be disturbed by the borrows and carries between
// bytes, and those bytes are never used.
inline const char* Reader::read_digits(const char* p, std::uint64_t& value) const noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    static constexpr std::uint64_t kScale[] = {1,      10,      100,      1000,     10000,
                                               100000, 1000000, 10000000, 100000000};
    constexpr std::uint64_t kEach = 0x0101010101010101;
    while (end_ - p >= 8) {
      std::uint64_t word;
      std::memcpy(&word, p, sizeof word);
      // Each byte less '0': a digit leaves 0..9; any other byte wraps below
      // zero or lands at 10 or more, where adding 0x76 reaches the top bit.
      const std::uint64_t d = word - '0' * kEach;
      const std::uint64_t not_digit = (d | (d + 0x76 * kEach)) & (0x80 * kEach);
      const int count = std::countr_zero(not_digit) / 8;  // 8 when all are digits
      if (count == 0) return p;
      // The digits moved to the top bytes, zeros before them, then combined
      // pairwise: 2, 4 and 8 digits per lane.
      std::uint64_t v = d << (64 - 8 * count);
      v = v * 10 + (v >> 8);
      v = (((v & 0x000000FF000000FF) * (100 + (1000000ULL << 32))) +
           (((v >> 16) & 0x000000FF000000FF) * (1 + (10000ULL << 32)))) >>
          32;
      value = value * kScale[count] + v;
      p += count;
      if (count < 8) return p;
    }
  }
  while (p != end_ && is_digit(*p)) {
    value = value * 10 + static_cast<unsigned>(*p - '0');
    ++p;
  }
  return p;
}

inline bool Reader::scan_number(NumberText& t) {
  const char* p = cur_;
  t.start = p;
  t.negative = *p == '-';
  p += t.negative;
  if (p == end_) return bad_number(p);
  // Integer part: a single 0, or a non-zero digit and more digits. The
  // mantissa wraps past 19 digits; it is not used then.
  std::uint64_t m = 0;
  t.int_digits = p;
  if (*p == '0') {
    ++p;
    if (p != end_ && is_digit(*p)) return bad_number(p);
  } else if (is_digit(*p)) {
    p = read_digits(p, m);
  } else {
    return bad_number(p);
  }
  t.int_count = static_cast<std::size_t>(p - t.int_digits);
  t.frac_count = 0;
  t.exponent = 0;
  t.plain = true;
  if (p != end_ && *p == '.') {
    t.plain = false;
    const char* f = ++p;
    p = read_digits(p, m);
    t.frac_count = static_cast<std::size_t>(p - f);
    if (t.frac_count == 0) return bad_number(p);
  }
  if (p != end_ && (*p == 'e' || *p == 'E')) {
    t.plain = false;
    ++p;
    const bool negative_exponent = p != end_ && *p == '-';
    if (p != end_ && (*p == '+' || *p == '-')) ++p;
    if (p == end_ || !is_digit(*p)) return bad_number(p);
    // Saturated far beyond any double, so the value is unaffected and sums
    // of exponents stay in range.
    std::int64_t e = 0;
    do {
      if (e < 1'000'000'000'000LL) e = e * 10 + (*p - '0');
      ++p;
    } while (p != end_ && is_digit(*p));
    t.exponent = negative_exponent ? -e : e;
  }
  t.mantissa = m;
  cur_ = p;
  return true;
}

// The usual numbers, [-]digits[.digits] with no leading zero, no exponent and
// at most 19 digits, are read and converted here in one pass; anything else
// (including every malformed number) is read again from its first byte by
// read_number_slow, which decides.
inline bool Reader::read_number(Number& out) {
  const char* p = cur_;
  if (p == end_) return read_number_slow(out);
  const bool negative = *p == '-';
  p += negative;
  const char* int_digits = p;
  std::uint64_t m = 0;
  p = read_digits(p, m);
  const auto int_count = static_cast<std::size_t>(p - int_digits);
  bool usual = int_count == 1 || (int_count != 0 && *int_digits != '0');
  std::size_t frac_count = 0;
  if (p != end_ && *p == '.') {
    const char* f = ++p;
    p = read_digits(p, m);
    frac_count = static_cast<std::size_t>(p - f);
    usual = usual && frac_count != 0;
  }
  if (!usual || int_count + frac_count > 19 || (p != end_ && (*p | 0x20) == 'e'))
    return read_number_slow(out);
  if (frac_count == 0) {
    if (!negative) {
      out.kind = Number::Kind::kUnsigned;
      out.magnitude = m;
      cur_ = p;
      return true;
    }
    if (m == 0 || m > (std::uint64_t{1} << 63)) return read_number_slow(out);  // -0, below -2^63
    out.kind = Number::Kind::kNegative;
    out.magnitude = m;
    cur_ = p;
    return true;
  }
#if FLT_EVAL_METHOD == 0
  // A mantissa of at most 53 bits divided by an exact power of ten is one
  // correctly rounded operation: short decimals need nothing more.
  if (m <= (std::uint64_t{1} << 53) && frac_count <= 22) {
    const double v = static_cast<double>(m) / detail::kExactPowersOfTen[frac_count];
    out.kind = Number::Kind::kFloat;
    out.value = negative ? -v : v;
    cur_ = p;
    return true;
  }
#endif
  double v;
  if (!decimal_to_double(m, -static_cast<std::int64_t>(frac_count), negative, v))
    return read_number_slow(out);
  out.kind = Number::Kind::kFloat;
  out.value = v;
  cur_ = p;
  return true;
}

inline bool Reader::read_string(std::string_view& out) {
  const char* start = cur_ + 1;  // past the opening quote
  const char* p = detail::find_string_stop(start, end_);
  if (p != end_ && *p == '"') {
    out = std::string_view(start, static_cast<std::size_t>(p - start));
    cur_ = p + 1;
    return true;
  }
  return read_string_slow(p, out);
}

inline Reader::Step Reader::next_element(bool& first) {
  int c = peek();
  if (c == ']') {
    advance();
    return Step::kEnd;
  }
  if (first) {
    if (c == kEndOfText) return list_fault(c, false);
    first = false;
    return Step::kItem;
  }
  if (c != ',') return list_fault(c, false);
  advance();
  c = peek();
  if (c == ']' || c == kEndOfText) return list_fault(c, true);
  return Step::kItem;
}

inline Reader::Step Reader::next_key(bool& first, std::string_view& key, std::string_view likely) {
  int c = peek();
  if (c == '}') {
    advance();
    return Step::kEnd;
  }
  if (first) {
    first = false;
    if (c != '"') return object_fault(c, KeyAt::kFirst);
  } else {
    if (c != ',') return object_fault(c, KeyAt::kSeparator);
    advance();
    c = peek();
    if (c != '"') return object_fault(c, KeyAt::kAfterComma);
  }
  // The likely key followed by a quote is exactly that key, with no escape.
  const std::size_t n = likely.size();
  if (n != 0 && static_cast<std::size_t>(end_ - cur_) > n + 1 && cur_[n + 1] == '"') {
    std::size_t i = 0;
    while (i < n && cur_[i + 1] == likely[i]) ++i;
    if (i == n) {
      key = likely;
      cur_ += n + 2;
      return Step::kItem;
    }
  }
  return read_string(key) ? Step::kItem : Step::kFault;
}

inline bool Reader::read_colon() {
  const int c = peek();
  if (c == ':') {
    advance();
    return true;
  }
  return colon_fault(c);
}

}  // namespace velorin::json
