// The three record decoders of a graph document on top of the JSON reader.
// Each record reads like its table: field names in declaration order, the
// rule that decodes each field, and which fields are required. Records are
// decoded straight into the node and edge tables: no document tree is built.
#include "graph/graph_json.hpp"

#include <algorithm>
#include <array>
#include <cstdint>

#include "json/json_reader.hpp"

namespace velorin {
namespace {

using json::Number;
using json::Reader;

// --- field rules -----------------------------------------------------------

// A node id: a JSON integer from 0 to 2^64-1, exactly as written.
bool read_node_id(Reader& r, NodeId& out) {
  if (!Reader::starts_number(r.peek())) return r.fail_invalid_type("u64");
  Number n;
  if (!r.read_number(n)) return false;
  if (n.kind != Number::Kind::kUnsigned) return r.fail_number(n, "u64");
  out = n.magnitude;
  return true;
}

// A float field: any JSON number, integers converted to the nearest double.
bool read_float(Reader& r, double& out) {
  if (!Reader::starts_number(r.peek())) return r.fail_invalid_type("f64");
  Number n;
  if (!r.read_number(n)) return false;
  out = n.as_double();
  return true;
}

// A float field that may be null, which means none: 0.0 in the graph.
bool read_optional_float(Reader& r, double& out) {
  if (r.peek() == 'n') {
    out = 0.0;
    return r.read_literal("null");
  }
  return read_float(r, out);
}

// --- records ---------------------------------------------------------------

// Names and descriptions of one record type, kept word for word like every
// message of this file: they reach callers in the decoder's messages. The first `required` fields
// must be present in object form; the array form always holds all of them.
template <std::size_t N>
struct RecordForm {
  std::string_view description;        // "struct NodeJson"
  std::string_view array_description;  // "struct NodeJson with 3 elements"
  std::array<std::string_view, N> fields;
  std::size_t required;

  static constexpr std::size_t kUnknown = N;
  std::size_t field_of(std::string_view key) const noexcept {
    for (std::size_t i = 0; i < N; ++i)
      if (fields[i] == key) return i;
    return kUnknown;
  }
};

// Decodes one record in object or array form. `read_field(r, i)` decodes the
// value of field i with that field's rule.
template <std::size_t N, typename ReadField>
bool read_record(Reader& r, const RecordForm<N>& form, ReadField&& read_field) {
  const int c = r.peek();
  if (c == '[') {
    r.advance();
    bool first = true;
    for (std::size_t i = 0; i < N; ++i) {
      switch (r.next_element(first)) {
        case Reader::Step::kFault:
          return false;
        case Reader::Step::kEnd:
          return r.fail_here("invalid length " + std::to_string(i) + ", expected " +
                             std::string(form.array_description));
        case Reader::Step::kItem:
          if (!read_field(r, i)) return false;
          break;
      }
    }
    return r.close_fixed_array();
  }
  if (c == '{') {
    r.advance();
    bool first = true;
    std::uint32_t seen = 0;
    std::size_t likely = 0;  // writers mostly keep declaration order
    for (;;) {
      std::string_view key;
      const Reader::Step step = r.next_key(first, key, likely < N ? form.fields[likely] : "");
      if (step == Reader::Step::kFault) return false;
      if (step == Reader::Step::kEnd) break;
      const std::size_t field = form.field_of(key);
      if (field == form.kUnknown) {
        if (!r.read_colon() || !r.skip_value()) return false;
        continue;
      }
      if (seen & (1u << field)) {
        // Reported after the key and the blanks that follow it.
        r.peek();
        return r.fail_here("duplicate field `" + std::string(form.fields[field]) + "`");
      }
      seen |= 1u << field;
      likely = field + 1;
      if (!r.read_colon() || !read_field(r, field)) return false;
    }
    for (std::size_t i = 0; i < form.required; ++i) {
      if (!(seen & (1u << i)))
        return r.fail_here("missing field `" + std::string(form.fields[i]) + "`");
    }
    return true;
  }
  return r.fail_invalid_type(form.description);
}

// --- the usual layout ----------------------------------------------------------
//
// Writers put the members in declaration order with no blanks, and nearly
// all of a document's time goes into its records. Matched byte for byte, a
// record needs no key lookup and no check for duplicate or missing members.
// Anything else (another order, blanks, unknown members, a value of another
// type, a malformed number) puts the cursor back at the record's start for
// read_record, which then decodes or refuses it exactly as it would have.

// The value of a member, or false. A fault met here is met again, and
// reported, when read_record reads the record from its start.
bool take_id(Reader& r, NodeId& out) {
  Number n;
  if (!Reader::starts_number(r.peek()) || !r.read_number(n) || n.kind != Number::Kind::kUnsigned)
    return false;
  out = n.magnitude;
  return true;
}

bool take_float(Reader& r, double& out) {
  Number n;
  if (!Reader::starts_number(r.peek()) || !r.read_number(n)) return false;
  out = n.as_double();
  return true;
}

bool take_optional_float(Reader& r, double& out) {
  if (!r.take("null")) return take_float(r, out);
  out = 0.0;
  return true;
}

bool take_node(Reader& r, Node& node) {
  const std::size_t start = r.offset();
  if (r.take(R"({"id":)") && take_id(r, node.id) && r.take(R"(,"lat":)") &&
      take_float(r, node.lat) && r.take(R"(,"lon":)") && take_float(r, node.lon) && r.take("}"))
    return true;
  r.rewind(start);
  return false;
}

bool take_edge(Reader& r, Edge& edge) {
  const std::size_t start = r.offset();
  if (r.take(R"({"from":)") && take_id(r, edge.from) && r.take(R"(,"to":)") &&
      take_id(r, edge.to) && r.take(R"(,"distance_m":)") && take_float(r, edge.distance_m) &&
      r.take(R"(,"risk_score":)") && take_float(r, edge.risk_score)) {
    if (r.take("}")) {
      edge.familiarity = 0.0;
      return true;
    }
    if (r.take(R"(,"familiarity":)") && take_optional_float(r, edge.familiarity) && r.take("}"))
      return true;
  }
  r.rewind(start);
  return false;
}

// --- records in general ------------------------------------------------------

constexpr RecordForm<3> kNodeJson{
    "struct NodeJson", "struct NodeJson with 3 elements", {"id", "lat", "lon"}, 3};

bool read_node(Reader& r, Node& node) {
  if (take_node(r, node)) return true;
  return read_record(r, kNodeJson, [&node](Reader& rr, std::size_t field) {
    switch (field) {
      case 0:
        return read_node_id(rr, node.id);
      case 1:
        return read_float(rr, node.lat);
      default:
        return read_float(rr, node.lon);
    }
  });
}

// `familiarity` is optional in object form (absent means none) but takes its
// place in the array form, where null stands for none.
constexpr RecordForm<5> kEdgeJson{"struct EdgeJson",
                                  "struct EdgeJson with 5 elements",
                                  {"from", "to", "distance_m", "risk_score", "familiarity"},
                                  4};

bool read_edge(Reader& r, Edge& edge) {
  if (take_edge(r, edge)) return true;
  edge.familiarity = 0.0;
  return read_record(r, kEdgeJson, [&edge](Reader& rr, std::size_t field) {
    switch (field) {
      case 0:
        return read_node_id(rr, edge.from);
      case 1:
        return read_node_id(rr, edge.to);
      case 2:
        return read_float(rr, edge.distance_m);
      case 3:
        return read_float(rr, edge.risk_score);
      default:
        return read_optional_float(rr, edge.familiarity);
    }
  });
}

// Grows a record table ahead of need. Records of one array are alike in
// length, so the bytes left in the text over the bytes per record so far
// predict how many remain: when the array runs to the end of the document the
// table reaches its size in a few steps, with no final copy. The guess may
// not grow the table more than 64-fold at once, so a document that only
// looks long (another array or a large skipped value follows) reserves in
// proportion to the records it really holds; reserved room is only address
// space until records fill it, while every step copies the table and asks
// the system for fresh pages (a million-node grid's edges once took six).
template <typename Record>
void make_room(std::vector<Record>& out, const Reader& r, std::size_t array_start) {
  const std::size_t n = out.size();
  std::size_t want = 64 * n + 64;
  if (n >= 64) {
    const std::size_t bytes_per_record = std::max<std::size_t>((r.offset() - array_start) / n, 1);
    const std::size_t guess = n + (r.size() - r.offset()) / bytes_per_record + n / 64 + 64;
    want = std::clamp(guess, n + n / 8, want);
  }
  out.reserve(want);
}

// A JSON array of records, each decoded in place at the end of `out`.
template <typename Record, typename ReadOne>
bool read_sequence(Reader& r, std::vector<Record>& out, ReadOne read_one) {
  if (r.peek() != '[') return r.fail_invalid_type("a sequence");
  const std::size_t array_start = r.offset();
  r.advance();
  bool first = true;
  for (;;) {
    switch (r.next_element(first)) {
      case Reader::Step::kFault:
        return false;
      case Reader::Step::kEnd:
        // The graph keeps the table as it is: drop a guess that overshot.
        // (Without exceptions, shrink_to_fit would keep the capacity.)
        if (out.capacity() - out.size() > out.size() / 32 + 64)
          std::vector<Record>(out.begin(), out.end()).swap(out);
        return true;
      case Reader::Step::kItem:
        if (out.size() == out.capacity()) make_room(out, r, array_start);
        if (!read_one(r, out.emplace_back())) return false;
        break;
    }
  }
}

constexpr RecordForm<2> kGraphJson{
    "struct GraphJson", "struct GraphJson with 2 elements", {"nodes", "edges"}, 2};

bool read_graph(Reader& r, std::vector<Node>& nodes, std::vector<Edge>& edges) {
  return read_record(r, kGraphJson, [&](Reader& rr, std::size_t field) {
    if (field == 0) return read_sequence(rr, nodes, read_node);
    return read_sequence(rr, edges, read_edge);
  });
}

}  // namespace

// Kept word for word: callers match on the position as well as the message.
std::string JsonError::describe() const {
  return message + " at line " + std::to_string(line) + " column " + std::to_string(column);
}

std::variant<RoadGraph, JsonError> decode_graph_json(std::string_view text) {
  std::vector<Node> nodes;
  std::vector<Edge> edges;
  Reader reader(text);
  if (!read_graph(reader, nodes, edges) || !reader.expect_end()) {
    const json::Fault& fault = reader.fault();
    const json::Position at = json::position_of(text, fault.offset);
    return JsonError{fault.message, at.line, at.column};
  }
  return RoadGraph::build(std::move(nodes), std::move(edges));
}

}  // namespace velorin
