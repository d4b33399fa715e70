#include "routing/route_record.hpp"

#include <charconv>
#include <cmath>
#include <system_error>

namespace velorin {
namespace {

// Appends x in fixed-point notation with `digits` decimals: the exact binary
// value rounded to the nearest decimal, ties to even, never an exponent (1e21
// prints all 22 digits), "-" on every negative value including -0.0 and values
// that round to zero.
void append_fixed(std::string& out, double x, int digits) {
  if (std::isnan(x)) {
    out += "NaN";
    return;
  }
  if (std::isinf(x)) {
    out += x < 0 ? "-inf" : "inf";
    return;
  }
  // The largest double has 309 integer digits; a sign and 3 decimals fit too.
  char buffer[320];
  auto [end, error] =
      std::to_chars(buffer, buffer + sizeof buffer, x, std::chars_format::fixed, digits);
  if (error != std::errc{}) end = buffer;  // cannot happen: the buffer fits every double
  out.append(buffer, end);
}

}  // namespace

// The printed form of a route is kept word for word: callers parse it.
std::string describe_route(const RouteRecord& route) {
  std::string text = "Route(";
  text += route.route_type;
  text += ", dist=";
  append_fixed(text, route.total_distance_m, 0);
  text += "m, risk=";
  append_fixed(text, route.total_risk, 3);
  text += ", time=";
  append_fixed(text, route.estimated_time_min, 1);
  text += "min)";
  return text;
}

}  // namespace velorin
