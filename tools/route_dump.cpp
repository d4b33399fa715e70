// Route requests on a graph document, with every result printed exactly: the
// same requests run on two processors (or with different maths libraries)
// give the same text only when every route matches bit for bit.
//
//   route_dump GRAPH.json REQUESTS
//     REQUESTS: one "source target eps" request per line
//   route_dump maths COUNT
//
// One output line per request: the request, then for each route its type, its
// node count, a hash of its node path and the bits of its five metrics in
// hexadecimal; or the refusal's message. tools/compare_platforms.py compares
// these lines field by field.
//
// The maths mode prints, for COUNT inputs of a fixed sequence in the ranges
// the routes use, the bits of sin, cos, atan2 and exp as the C maths library
// computes them: the only part of a route's arithmetic that may differ
// between processors.
#include <bit>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "graph/graph_json.hpp"
#include "routing/route_request.hpp"

namespace {

std::uint64_t path_hash(const std::vector<velorin::NodeId>& path) {
  std::uint64_t h = 14695981039346656037ULL;  // FNV-1a over the ids' bytes
  for (velorin::NodeId id : path) {
    for (int shift = 0; shift < 64; shift += 8) {
      h ^= (id >> shift) & 0xFF;
      h *= 1099511628211ULL;
    }
  }
  return h;
}

void print_bits(const char* name, double value) {
  std::printf(" %s=%016" PRIx64, name, std::bit_cast<std::uint64_t>(value));
}

// Uniform in [lo, hi), the same on every processor: 53 random bits scaled
// exactly, then one rounded multiply and add.
double uniform(std::uint64_t& state, double lo, double hi) {
  state += 0x9E3779B97F4A7C15ULL;  // splitmix64
  std::uint64_t z = state;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  z ^= z >> 31;
  return lo + (hi - lo) * (static_cast<double>(z >> 11) * 0x1p-53);
}

int dump_maths(unsigned long count) {
  constexpr double k = 0.017453292519943295;  // radians per degree
  std::uint64_t state = 2024;
  for (unsigned long i = 0; i < count; ++i) {
    // Half the difference of two nearby coordinates, a latitude, the
    // haversine term of a short arc, minus twice a route's risk.
    const double half_delta = uniform(state, -0.5, 0.5) * k * 0.5;
    const double latitude = uniform(state, -90.0, 90.0) * k;
    const double a = uniform(state, 0.0, 1e-4);
    const double risk = uniform(state, 0.0, 100.0);
    std::printf("%lu:", i);
    print_bits("sin", std::sin(half_delta));
    print_bits("cos", std::cos(latitude));
    print_bits("atan2", std::atan2(std::sqrt(a), std::sqrt(1.0 - a)));
    print_bits("exp", std::exp(-2.0 * risk));
    std::printf("\n");
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string_view(argv[1]) == "maths")
    return dump_maths(std::strtoul(argv[2], nullptr, 10));
  if (argc != 3) {
    std::fprintf(stderr, "usage: route_dump GRAPH.json REQUESTS | route_dump maths COUNT\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", argv[1]);
    return 2;
  }
  std::stringstream text;
  text << in.rdbuf();
  auto decoded = velorin::decode_graph_json(text.str());
  if (auto* error = std::get_if<velorin::JsonError>(&decoded)) {
    std::fprintf(stderr, "%s: %s\n", argv[1], error->describe().c_str());
    return 2;
  }
  const velorin::RoadGraph& graph = std::get<velorin::RoadGraph>(decoded);

  std::ifstream requests(argv[2]);
  if (!requests) {
    std::fprintf(stderr, "cannot read %s\n", argv[2]);
    return 2;
  }
  std::string eps_text;
  for (velorin::NodeId source, target; requests >> source >> target >> eps_text;) {
    const double eps = std::strtod(eps_text.c_str(), nullptr);
    std::printf("%" PRIu64 " %" PRIu64 " %s:", source, target, eps_text.c_str());
    auto answer = velorin::compute_safe_routes(graph, source, target, eps);
    if (auto* refused = std::get_if<velorin::RouteError>(&answer)) {
      std::printf(" error=%s\n", refused->message.c_str());
      continue;
    }
    for (const velorin::RouteRecord& route : std::get<std::vector<velorin::RouteRecord>>(answer)) {
      std::printf(" | %s nodes=%zu path=%016" PRIx64, route.route_type.c_str(), route.node_count,
                  path_hash(route.path));
      print_bits("distance", route.total_distance_m);
      print_bits("risk", route.total_risk);
      print_bits("familiarity", route.total_familiarity);
      print_bits("time", route.estimated_time_min);
      print_bits("comfort", route.comfort_score);
    }
    std::printf("\n");
  }
  return 0;
}
