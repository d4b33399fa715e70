#include "json/json_reader.hpp"

#include <algorithm>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstring>
#include <system_error>

#include <fast_float/fast_float.h>

#include "fault/internal_fault.hpp"

namespace velorin::json {
namespace {

int hex_value(unsigned char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void append_utf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

}  // namespace

Position position_of(std::string_view text, std::size_t offset) noexcept {
  offset = std::min(offset, text.size());
  std::size_t line = 1;
  std::size_t line_start = 0;
  const char* base = text.data();
  const char* p = base;
  const char* stop = base + offset;
  while (p != stop) {
    const void* nl = std::memchr(p, '\n', static_cast<std::size_t>(stop - p));
    if (nl == nullptr) break;
    ++line;
    p = static_cast<const char*>(nl) + 1;
    line_start = static_cast<std::size_t>(p - base);
  }
  return {line, offset - line_start};
}

// ---------------------------------------------------------------------------
// Faults. Every fault text in this file is kept word for word: callers match on
// the messages.

bool Reader::fail_at(std::size_t offset, std::string_view message) {
  fault_.message = message;
  fault_.offset = offset;
  return false;
}

bool Reader::fail_here(std::string message) {
  fault_.message = std::move(message);
  fault_.offset = offset();
  return false;
}

bool Reader::fail_after_peek(std::string_view message) {
  return fail_at(std::min(offset() + 1, size()), message);
}

bool Reader::fail_at_end(std::string_view message) {
  return fail_at(size(), message);
}

bool Reader::fail_number(const Number& number, std::string_view expected) {
  std::string message =
      number.kind == Number::Kind::kNegative ? "invalid value: " : "invalid type: ";
  message += describe(number);
  message += ", expected ";
  message += expected;
  return fail_here(std::move(message));
}

bool Reader::fail_invalid_type(std::string_view expected) {
  std::string found;
  switch (int c = peek()) {
    case kEndOfText:
      return fail_at_end("EOF while parsing a value");
    case '[':
      found = "sequence";
      break;
    case '{':
      found = "map";
      break;
    case '"': {
      std::string_view s;
      if (!read_string(s)) return false;
      found = "string " + quote_string(s);
      break;
    }
    case 't':
      if (!read_literal("true")) return false;
      found = "boolean `true`";
      break;
    case 'f':
      if (!read_literal("false")) return false;
      found = "boolean `false`";
      break;
    case 'n':
      if (!read_literal("null")) return false;
      found = "null";
      break;
    default: {
      if (!starts_number(c)) return fail_after_peek("expected value");
      Number n;
      if (!read_number(n)) return false;
      found = describe(n);
      break;
    }
  }
  std::string message = "invalid type: ";
  message += found;
  message += ", expected ";
  message += expected;
  return fail_here(std::move(message));
}

// ---------------------------------------------------------------------------
// Numbers

// A number breaks off at `at`: the text ended where a digit was due, or `at`
// holds a byte the grammar does not allow there.
bool Reader::bad_number(const char* at) {
  cur_ = at;
  if (at == end_) return fail_at_end("EOF while parsing a value");
  return fail_after_peek("invalid number");
}

bool Reader::decimal_to_double(std::uint64_t m, std::int64_t q, bool negative,
                               double& out) noexcept {
  // Eisel and Lemire's correctly rounded product, the step fast_float's
  // from_chars takes after scanning the digits, or a negative power when it
  // cannot decide.
  using Binary = fast_float::binary_format<double>;
  const fast_float::adjusted_mantissa am = fast_float::compute_float<Binary>(q, m);
  if (am.power2 < 0 || am.power2 >= Binary::infinite_power()) return false;
  fast_float::to_float(negative, am, out);
  return true;
}

// Every number read_number leaves: exponents, integers of 20 digits or more,
// -0, -2^63 and below, longer fractions, and the malformed ones.
bool Reader::read_number_slow(Number& out) {
  NumberText t{};
  if (!scan_number(t)) return false;
  const std::size_t digits = t.int_count + t.frac_count;
  if (digits <= 19) {
    if (t.plain) {
      if (!t.negative) {
        out.kind = Number::Kind::kUnsigned;
        out.magnitude = t.mantissa;
        return true;
      }
      if (t.mantissa != 0 && t.mantissa <= (std::uint64_t{1} << 63)) {
        out.kind = Number::Kind::kNegative;
        out.magnitude = t.mantissa;
        return true;
      }
    }
#if FLT_EVAL_METHOD == 0
    // As in read_number, with the exponent: a power of ten up to 10^22 is exact.
    const std::int64_t e = t.exponent - static_cast<std::int64_t>(t.frac_count);
    if (t.mantissa <= (std::uint64_t{1} << 53) && e >= -22 && e <= 22) {
      double v = static_cast<double>(t.mantissa);
      v = e < 0 ? v / detail::kExactPowersOfTen[-e] : v * detail::kExactPowersOfTen[e];
      out.kind = Number::Kind::kFloat;
      out.value = t.negative ? -v : v;
      return true;
    }
#endif
  }
  if (t.plain && digits == 20) {
    // Up to 2^64-1 stays an exact unsigned integer.
    std::uint64_t m = 0;
    bool fits = true;
    for (std::size_t i = 0; i < 20 && fits; ++i) {
      fits = !__builtin_mul_overflow(m, 10u, &m) &&
             !__builtin_add_overflow(m, static_cast<unsigned>(t.int_digits[i] - '0'), &m);
    }
    if (fits && !t.negative) {
      out.kind = Number::Kind::kUnsigned;
      out.magnitude = m;
      return true;
    }
  }
  out.kind = Number::Kind::kFloat;
  if (digits <= 19 && t.mantissa == 0) {
    out.value = t.negative ? -0.0 : 0.0;
    return true;
  }
  if (digits <= 19 &&
      decimal_to_double(t.mantissa, t.exponent - static_cast<std::int64_t>(t.frac_count),
                        t.negative, out.value))
    return true;
  // fast_float rounds correctly on every target, unlike some platforms'
  // std::from_chars. It reads the text the grammar has already checked; a
  // magnitude too small for a double gives zero, which JSON readers accept,
  // and one too large gives infinity, which no JSON number may stand for.
  double v = 0.0;
  auto result = fast_float::from_chars(t.start, cur_, v, fast_float::chars_format::general);
  require(result.ec == std::errc() && result.ptr == cur_,
          "fast_float stopped inside a number that the grammar accepted");
  if (std::isinf(v)) return fail_here("number out of range");
  out.value = v;
  return true;
}

// ---------------------------------------------------------------------------
// Strings

bool Reader::read_string_slow(const char* special, std::string_view& out) {
  const char* start = cur_ + 1;
  scratch_.assign(start, special);
  if (!scan_escapes<true>(special)) return false;
  out = scratch_;
  return true;
}

bool Reader::skip_string() {
  const char* p = detail::find_string_stop(cur_ + 1, end_);
  if (p != end_ && *p == '"') {
    cur_ = p + 1;
    return true;
  }
  return scan_escapes<false>(p);
}

// Reads four hex digits after "\u". A quote among them ends the escape early.
bool Reader::read_hex_escape(const char*& p, std::uint32_t& unit) {
  unit = 0;
  for (int i = 0; i < 4; ++i, ++p) {
    if (p == end_) {
      cur_ = p;
      return fail_at_end("EOF while parsing a string");
    }
    int h = hex_value(static_cast<unsigned char>(*p));
    if (h < 0) {
      cur_ = p;
      return fail_after_peek(*p == '"' ? "unexpected end of hex escape" : "invalid escape");
    }
    unit = unit * 16 + static_cast<std::uint32_t>(h);
  }
  return true;
}

// Continues a string from its first escape or control character up to and
// including the closing quote, decoding into scratch_ when kKeep.
template <bool kKeep>
bool Reader::scan_escapes(const char* p) {
  for (;;) {
    if (p == end_) {
      cur_ = p;
      return fail_at_end("EOF while parsing a string");
    }
    auto c = static_cast<unsigned char>(*p);
    if (c == '"') {
      cur_ = p + 1;
      return true;
    }
    if (c < 0x20) {
      cur_ = p;
      return fail_after_peek("control character (\\u0000-\\u001F) found while parsing a string");
    }
    if (c != '\\') {
      const char* run_end = detail::find_string_stop(p + 1, end_);
      if constexpr (kKeep) scratch_.append(p, run_end);
      p = run_end;
      continue;
    }
    ++p;  // past the backslash
    if (p == end_) {
      cur_ = p;
      return fail_at_end("EOF while parsing a string");
    }
    char decoded;
    switch (*p) {
      case '"':
        decoded = '"';
        break;
      case '\\':
        decoded = '\\';
        break;
      case '/':
        decoded = '/';
        break;
      case 'b':
        decoded = '\b';
        break;
      case 'f':
        decoded = '\f';
        break;
      case 'n':
        decoded = '\n';
        break;
      case 'r':
        decoded = '\r';
        break;
      case 't':
        decoded = '\t';
        break;
      case 'u': {
        ++p;
        std::uint32_t unit;
        if (!read_hex_escape(p, unit)) return false;
        // A skipped string is never decoded: four hex digits are all the
        // grammar asks, whatever surrogate they name.
        if constexpr (!kKeep) continue;
        if (unit >= 0xDC00 && unit <= 0xDFFF) {
          cur_ = p;
          return fail_here("invalid unicode code point");
        }
        std::uint32_t cp = unit;
        if (unit >= 0xD800 && unit <= 0xDBFF) {
          // A leading surrogate must be followed at once by a trailing one.
          for (char want : {'\\', 'u'}) {
            if (p == end_) {
              cur_ = p;
              return fail_at_end("EOF while parsing a string");
            }
            if (*p != want) {
              cur_ = p;
              return fail_after_peek("lone leading surrogate in hex escape");
            }
            ++p;
          }
          std::uint32_t low;
          if (!read_hex_escape(p, low)) return false;
          if (low < 0xDC00 || low > 0xDFFF) {
            cur_ = p;
            return fail_here("lone leading surrogate in hex escape");
          }
          cp = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
        }
        if constexpr (kKeep) append_utf8(scratch_, cp);
        continue;
      }
      default:
        cur_ = p;
        return fail_after_peek("invalid escape");
    }
    if constexpr (kKeep) scratch_.push_back(decoded);
    ++p;
  }
}

bool Reader::read_literal(std::string_view word) {
  const char* p = cur_ + 1;  // the first letter chose the word
  for (std::size_t i = 1; i < word.size(); ++i, ++p) {
    if (p == end_) {
      cur_ = p;
      return fail_at_end("EOF while parsing a value");
    }
    if (*p != word[i]) {
      cur_ = p;
      return fail_after_peek("expected ident");
    }
  }
  cur_ = p;
  return true;
}

// ---------------------------------------------------------------------------
// Containers

Reader::Step Reader::list_fault(int c, bool after_comma) {
  if (after_comma) {
    if (c == ']')
      fail_after_peek("trailing comma");
    else
      fail_at_end("EOF while parsing a value");
  } else if (c == kEndOfText) {
    fail_at_end("EOF while parsing a list");
  } else {
    fail_after_peek("expected `,` or `]`");
  }
  return Step::kFault;
}

Reader::Step Reader::object_fault(int c, KeyAt where) {
  if (where == KeyAt::kAfterComma) {
    if (c == '}')
      fail_after_peek("trailing comma");
    else if (c == kEndOfText)
      fail_at_end("EOF while parsing a value");
    else
      fail_after_peek("key must be a string");
  } else if (c == kEndOfText) {
    fail_at_end("EOF while parsing an object");
  } else {
    fail_after_peek(where == KeyAt::kFirst ? "key must be a string" : "expected `,` or `}`");
  }
  return Step::kFault;
}

bool Reader::colon_fault(int c) {
  if (c == kEndOfText) return fail_at_end("EOF while parsing an object");
  return fail_after_peek("expected `:`");
}

bool Reader::close_fixed_array() {
  int c = peek();
  if (c == ']') {
    advance();
    return true;
  }
  if (c == kEndOfText) return fail_at_end("EOF while parsing a list");
  if (c == ',') {
    advance();
    if (peek() == ']') return fail_after_peek("trailing comma");
  }
  return fail_after_peek("trailing characters");
}

bool Reader::expect_end() {
  if (peek() == kEndOfText) return true;
  return fail_after_peek("trailing characters");
}

bool Reader::skip_key_and_colon() {
  const int c = peek();
  if (c != '"') {
    object_fault(c, KeyAt::kFirst);
    return false;
  }
  return skip_string() && read_colon();
}

// The open containers live in an explicit stack of one bit each, so a value
// nested a million levels deep costs a little memory and no native stack.
bool Reader::skip_value() {
  open_.clear();
  for (;;) {
    // A value is due here.
    int c = peek();
    switch (c) {
      case kEndOfText:
        return fail_at_end("EOF while parsing a value");
      case '[':
        advance();
        c = peek();
        if (c == ']') {
          advance();
          break;
        }
        if (c == kEndOfText) {
          list_fault(c, false);
          return false;
        }
        open_.push_back(false);
        continue;  // its first element is due
      case '{':
        advance();
        if (peek() == '}') {
          advance();
          break;
        }
        open_.push_back(true);
        if (!skip_key_and_colon()) return false;
        continue;
      case '"':
        if (!skip_string()) return false;
        break;
      case 't':
        if (!read_literal("true")) return false;
        break;
      case 'f':
        if (!read_literal("false")) return false;
        break;
      case 'n':
        if (!read_literal("null")) return false;
        break;
      default: {
        if (!starts_number(c)) return fail_after_peek("expected value");
        // A skipped number is only checked, never read: one that the end of
        // the text cuts short after its minus sign, its point or its exponent
        // is malformed like one cut by any other byte.
        NumberText t;
        if (!scan_number(t)) return cur_ == end_ ? fail_at_end("invalid number") : false;
        break;
      }
    }
    // A value just ended: close the containers that end with it, then move
    // to the next element or member.
    for (;;) {
      if (open_.empty()) return true;
      const bool in_object = open_.back();
      c = peek();
      if (c == (in_object ? '}' : ']')) {
        advance();
        open_.pop_back();
        continue;
      }
      if (c != ',') {
        if (in_object)
          object_fault(c, KeyAt::kSeparator);
        else
          list_fault(c, false);
        return false;
      }
      advance();
      c = peek();
      if (in_object) {
        // The text ended inside this object: no key was cut short, so it is
        // the object that is unfinished.
        if (c == kEndOfText) return fail_at_end("EOF while parsing an object");
        if (c != '"') {
          object_fault(c, KeyAt::kAfterComma);
          return false;
        }
        if (!skip_string() || !read_colon()) return false;
      } else if (c == ']' || c == kEndOfText) {
        list_fault(c, true);
        return false;
      }
      break;
    }
  }
}

// ---------------------------------------------------------------------------
// Descriptions for messages

std::string format_float(double value) {
  if (value == 0.0) return std::signbit(value) ? "-0.0" : "0.0";
  char buf[64];
  auto result = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  // buf holds [-]d[.ddd]e(+|-)xx: split it into digits and a decimal exponent.
  std::string_view sci(buf, static_cast<std::size_t>(result.ptr - buf));
  std::string out;
  if (sci.front() == '-') {
    out.push_back('-');
    sci.remove_prefix(1);
  }
  std::size_t e_at = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, e_at))
    if (c != '.') digits.push_back(c);
  int exp10 = 0;
  std::string_view exp_text = sci.substr(e_at + 1);
  if (exp_text.front() == '+') exp_text.remove_prefix(1);
  std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exp10);

  // value = 0.d1...dn * 10^k
  const int n = static_cast<int>(digits.size());
  const int k = exp10 + 1;
  if (n <= k && k <= 16) {
    out += digits;
    out.append(static_cast<std::size_t>(k - n), '0');
    out += ".0";
  } else if (0 < k && k <= 16) {
    out.append(digits, 0, static_cast<std::size_t>(k));
    out.push_back('.');
    out.append(digits, static_cast<std::size_t>(k));
  } else if (-5 < k && k <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-k), '0');
    out += digits;
  } else {
    out.push_back(digits[0]);
    if (n > 1) {
      out.push_back('.');
      out.append(digits, 1);
    }
    out.push_back('e');
    out += std::to_string(k - 1);
  }
  return out;
}

std::string describe(const Number& number) {
  switch (number.kind) {
    case Number::Kind::kUnsigned:
      return "integer `" + std::to_string(number.magnitude) + "`";
    case Number::Kind::kNegative:
      return "integer `-" + std::to_string(number.magnitude) + "`";
    case Number::Kind::kFloat:
      break;
  }
  return "floating point `" + format_float(number.value) + "`";
}

std::string quote_string(std::string_view text) {
  std::string out = "\"";
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p != end) {
    // Decode one UTF-8 sequence; a malformed byte stands for U+FFFD, so the
    // message stays valid UTF-8 whatever bytes the text held.
    std::uint32_t cp = *p;
    std::size_t len = 1;
    bool malformed = false;
    if (cp >= 0x80) {
      const std::size_t need = cp >= 0xF8   ? 0
                               : cp >= 0xF0 ? 3
                               : cp >= 0xE0 ? 2
                               : cp >= 0xC0 ? 1
                                            : 0;
      const std::uint32_t least = need == 3 ? 0x10000 : need == 2 ? 0x800 : 0x80;
      cp &= 0x3Fu >> need;
      std::size_t i = 1;
      while (i <= need && p + i != end && (p[i] & 0xC0) == 0x80) cp = (cp << 6) | (p[i++] & 0x3Fu);
      malformed =
          need == 0 || i <= need || cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF);
      if (malformed)
        cp = 0xFFFD;
      else
        len = need + 1;
    }
    switch (cp) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case 0:
        out += "\\0";
        break;
      default:
        if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) {
          char escape[16] = {'\\', 'u', '{'};
          char* close = std::to_chars(escape + 3, escape + sizeof escape - 1, cp, 16).ptr;
          *close = '}';
          out.append(escape, close + 1);
        } else if (malformed) {
          out += "\xEF\xBF\xBD";
        } else {
          out.append(reinterpret_cast<const char*>(p), len);
        }
    }
    p += len;
  }
  out += "\"";
  return out;
}

}  // namespace velorin::json
