// libFuzzer target for the graph document decoder.
//
// Every input must end in one of two ways, and nothing else:
//   - a RoadGraph whose tables agree with each other and which survives a
//     round trip through a re-encoded document bit for bit;
//   - a JsonError whose text is "{message} at line N column M", where the
//     position names a real byte offset of the input and, for UTF-8 input,
//     the text is UTF-8 too (Python turns it into a str; invalid bytes there
//     would abort the interpreter).
// Anything else -- a crash, a sanitizer report, a hang, a runaway allocation --
// is a finding. Violations abort so that libFuzzer keeps the input.
#include <cinttypes>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <variant>

#include "graph/graph_json.hpp"
#include "graph/road_graph.hpp"

namespace {

[[noreturn]] void violated(const char* what, std::string_view detail = {}) {
  std::fprintf(stderr, "graph_json_fuzzer: %s\n%.*s\n", what, static_cast<int>(detail.size()),
               detail.data());
  std::abort();
}

bool valid_utf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    auto c = static_cast<unsigned char>(s[i]);
    std::size_t len;
    std::uint32_t cp;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      len = 2;
      cp = c & 0x1Fu;
    } else if ((c & 0xF0) == 0xE0) {
      len = 3;
      cp = c & 0x0Fu;
    } else if ((c & 0xF8) == 0xF0) {
      len = 4;
      cp = c & 0x07u;
    } else {
      return false;
    }
    if (i + len > s.size()) return false;
    for (std::size_t k = 1; k < len; ++k) {
      auto cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3Fu);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    static constexpr std::uint32_t kLeast[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kLeast[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

void check_error(std::string_view text, const velorin::JsonError& error) {
  const std::string described = error.describe();
  if (error.message.empty()) violated("empty error message", described);
  const std::string suffix =
      " at line " + std::to_string(error.line) + " column " + std::to_string(error.column);
  if (described != error.message + suffix)
    violated("describe() is not message + position", described);
  if (described.find('\n') != std::string::npos) violated("error text spans lines", described);
  if (valid_utf8(text) && !valid_utf8(described)) violated("error text is not UTF-8", described);

  // The position must be a byte offset of the input (the end included):
  // line N exists, and column M does not run past the end of that line.
  if (error.line < 1) violated("line 0", described);
  std::size_t line_start = 0;
  for (std::size_t line = 1; line < error.line; ++line) {
    std::size_t feed = text.find('\n', line_start);
    if (feed == std::string_view::npos) violated("line past the end of the input", described);
    line_start = feed + 1;
  }
  std::size_t line_end = text.find('\n', line_start);
  if (line_end == std::string_view::npos) line_end = text.size();
  if (error.column > line_end - line_start) violated("column past the end of its line", described);
}

bool same_bits(double a, double b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

void append_number(std::string& out, double value) {
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, "%.17g", value);
  out += buffer;
}

// Array form: the shortest document that names every value explicitly.
std::string encode(const velorin::RoadGraph& graph) {
  std::string out = "[[";
  char buffer[32];
  for (const velorin::Node& n : graph.nodes()) {
    std::snprintf(buffer, sizeof buffer, "[%" PRIu64 ",", n.id);
    out += buffer;
    append_number(out, n.lat);
    out += ',';
    append_number(out, n.lon);
    out += "],";
  }
  if (out.back() == ',') out.pop_back();
  out += "],[";
  for (const velorin::Edge& e : graph.edges()) {
    std::snprintf(buffer, sizeof buffer, "[%" PRIu64 ",", e.from);
    out += buffer;
    std::snprintf(buffer, sizeof buffer, "%" PRIu64 ",", e.to);
    out += buffer;
    append_number(out, e.distance_m);
    out += ',';
    append_number(out, e.risk_score);
    out += ',';
    append_number(out, e.familiarity);
    out += "],";
  }
  if (out.back() == ',') out.pop_back();
  out += "]]";
  return out;
}

void check_tables(const velorin::RoadGraph& graph) {
  using velorin::RoadGraph;
  std::size_t listed = 0;
  for (RoadGraph::DenseId d = 0; d < graph.dense_count(); ++d) {
    if (graph.dense_of(graph.id_of(d)) != d) violated("dense numbering is not a bijection");
    std::uint32_t previous = 0;
    bool first = true;
    for (std::uint32_t index : graph.out_edge_indices(d)) {
      if (index >= graph.edge_count()) violated("out-edge index out of range");
      if (!first && index <= previous) violated("out-edge indices not ascending");
      if (graph.edge(index).from != graph.id_of(d))
        violated("out-edge listed under the wrong node");
      previous = index;
      first = false;
      ++listed;
    }
  }
  if (listed != graph.edge_count()) violated("not every edge is listed exactly once");
  for (const velorin::Node& n : graph.nodes()) {
    RoadGraph::DenseId d = graph.dense_of(n.id);
    if (d == RoadGraph::kAbsent || !graph.has_node_record(d)) violated("node record not numbered");
  }
  for (std::uint32_t i = 0; i < graph.edge_count(); ++i) {
    const velorin::Edge& e = graph.edge(i);
    if (graph.head(i) != graph.dense_of(e.to)) violated("edge head disagrees with its `to`");
    if (graph.out_edges(e.from).empty()) violated("out_edges of an edge's `from` is empty");
  }
}

void check_round_trip(const velorin::RoadGraph& graph) {
  const std::string again = encode(graph);
  auto decoded = velorin::decode_graph_json(again);
  if (auto* error = std::get_if<velorin::JsonError>(&decoded))
    violated("re-encoded graph is refused", error->describe() + "\n" + again);
  const auto& copy = std::get<velorin::RoadGraph>(decoded);
  if (copy.node_count() != graph.node_count() || copy.edge_count() != graph.edge_count())
    violated("round trip changed the counts", again);
  for (std::size_t i = 0; i < graph.node_count(); ++i) {
    const auto& a = graph.nodes()[i];
    const auto& b = copy.nodes()[i];
    if (a.id != b.id || !same_bits(a.lat, b.lat) || !same_bits(a.lon, b.lon))
      violated("round trip changed a node", again);
  }
  for (std::size_t i = 0; i < graph.edge_count(); ++i) {
    const auto& a = graph.edges()[i];
    const auto& b = copy.edges()[i];
    if (a.from != b.from || a.to != b.to || !same_bits(a.distance_m, b.distance_m) ||
        !same_bits(a.risk_score, b.risk_score) || !same_bits(a.familiarity, b.familiarity))
      violated("round trip changed an edge", again);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto decoded = velorin::decode_graph_json(text);
  if (auto* error = std::get_if<velorin::JsonError>(&decoded)) {
    check_error(text, *error);
    return 0;
  }
  const auto& graph = std::get<velorin::RoadGraph>(decoded);
  // The document has no literal for NaN or infinity and out-of-range numbers
  // are refused, so every stored value is finite.
  auto finite = [](double x) { return x - x == 0.0; };
  for (const velorin::Node& n : graph.nodes())
    if (!finite(n.lat) || !finite(n.lon)) violated("a decoded coordinate is not finite");
  for (const velorin::Edge& e : graph.edges())
    if (!finite(e.distance_m) || !finite(e.risk_score) || !finite(e.familiarity))
      violated("a decoded cost is not finite");
  check_tables(graph);
  check_round_trip(graph);
  return 0;
}
