// Graph documents through the record decoders: accepted forms and values, and
// the text and position of every refusal.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "case_name.hpp"
#include "graph/graph_json.hpp"

namespace velorin {
namespace {

RoadGraph decode_ok(std::string_view text) {
  auto result = decode_graph_json(text);
  if (auto* error = std::get_if<JsonError>(&result)) {
    ADD_FAILURE() << "refused: " << error->describe();
    return RoadGraph{};
  }
  return std::move(std::get<RoadGraph>(result));
}

std::string refusal(std::string_view text) {
  auto result = decode_graph_json(text);
  if (auto* error = std::get_if<JsonError>(&result)) return error->describe();
  return "accepted";
}

TEST(GraphJson, EmptyGraphInBothForms) {
  for (const char* text : {R"({"nodes": [], "edges": []})", "[[], []]", " \n\t\r[[],[]] \n"}) {
    RoadGraph g = decode_ok(text);
    EXPECT_EQ(g.node_count(), 0u) << text;
    EXPECT_EQ(g.edge_count(), 0u) << text;
  }
}

TEST(GraphJson, ObjectAndArrayFormsGiveTheSameRecords) {
  const char* object_form = R"({
    "edges": [
      {"from": 1, "to": 2, "distance_m": 37.48, "risk_score": 0.25, "familiarity": 0.5},
      {"risk_score": 1, "to": 1, "from": 2, "distance_m": 10},
      {"from": 2, "to": 3, "distance_m": 1e3, "risk_score": -0.5, "familiarity": null}
    ],
    "nodes": [{"id": 1, "lat": 42.5063746, "lon": 1.5213451}, {"lon": 2, "lat": -0, "id": 2}]
  })";
  const char* array_form = R"([
    [[1, 42.5063746, 1.5213451], [2, -0, 2]],
    [[1, 2, 37.48, 0.25, 0.5], [2, 1, 10, 1, null], [2, 3, 1e3, -0.5, null]]
  ])";
  for (const char* text : {object_form, array_form}) {
    RoadGraph g = decode_ok(text);
    ASSERT_EQ(g.node_count(), 2u);
    ASSERT_EQ(g.edge_count(), 3u);
    EXPECT_EQ(g.nodes()[0].id, 1u);
    EXPECT_EQ(g.nodes()[0].lat, 42.5063746);
    EXPECT_EQ(g.nodes()[0].lon, 1.5213451);
    EXPECT_EQ(g.nodes()[1].id, 2u);
    EXPECT_TRUE(std::signbit(g.nodes()[1].lat));  // -0 is kept as -0.0
    EXPECT_EQ(g.nodes()[1].lon, 2.0);
    const Edge& e0 = g.edges()[0];
    EXPECT_EQ(e0.from, 1u);
    EXPECT_EQ(e0.to, 2u);
    EXPECT_EQ(e0.distance_m, 37.48);
    EXPECT_EQ(e0.risk_score, 0.25);
    EXPECT_EQ(e0.familiarity, 0.5);
    EXPECT_EQ(g.edges()[1].from, 2u);
    EXPECT_EQ(g.edges()[1].familiarity, 0.0);  // absent
    EXPECT_EQ(g.edges()[2].distance_m, 1000.0);
    EXPECT_EQ(g.edges()[2].familiarity, 0.0);  // null
    EXPECT_EQ(g.out_edges(2).size(), 2u);
  }
}

TEST(GraphJson, NodeIdsAreExactAcrossTheWholeUnsignedRange) {
  RoadGraph g = decode_ok(
      R"({"nodes": [[0, 0, 0], [18446744073709551615, 0, 0], [9007199254740993, 0, 0]],
          "edges": [[18446744073709551615, 9007199254740993, 0, 0, 0]]})");
  EXPECT_EQ(g.nodes()[1].id, UINT64_MAX);
  EXPECT_EQ(g.nodes()[2].id, 9007199254740993ULL);
  EXPECT_EQ(g.out_edges(UINT64_MAX).size(), 1u);
}

TEST(GraphJson, FloatFieldsTakeAnyNumber) {
  RoadGraph g = decode_ok(
      R"([[[1, 18446744073709551616, -9223372036854775809], [2, 1e-400, 1.7976931348623157e308]], []])");
  EXPECT_EQ(g.nodes()[0].lat, 18446744073709551616.0);
  EXPECT_EQ(g.nodes()[0].lon, -9223372036854775808.0);
  EXPECT_EQ(g.nodes()[1].lat, 0.0);
  EXPECT_EQ(g.nodes()[1].lon, 1.7976931348623157e308);
}

TEST(GraphJson, UnknownMembersAreSkippedWhateverTheyHold) {
  RoadGraph g = decode_ok(R"({
    "name": {"a": [1, 2, {"b": null}]}, "version": 2, "ok": true, "no": false, "x": null,
    "s": "t\"\u00e9\ud83d\udeb2", "huge": 1e999, "nodes": [
      {"ID": 5, "id": 1, "lat": 1, "lon": 2, "tags": {"highway": ["cycleway"]}, "name": "x"}
    ],
    "edges": [], "name": [], "": {}, "\u006e\u006f\u0064\u0065": 1
  })");
  EXPECT_EQ(g.node_count(), 1u);
  EXPECT_EQ(g.nodes()[0].id, 1u);
}

TEST(GraphJson, KeysMatchAfterUnescaping) {
  RoadGraph g =
      decode_ok(R"({"n\u006fdes": [{"i\u0064": 3, "l\u0061t": 1, "lon": 2}], "edges": []})");
  EXPECT_EQ(g.nodes()[0].id, 3u);
}

TEST(GraphJson, UnknownEndpointsDuplicatesAndSelfLoopsAreKept) {
  RoadGraph g = decode_ok(R"([[[1, 0, 0], [1, 5, 5]], [[1, 1, 1, 1, null], [7, 8, 1, 1, null]]])");
  EXPECT_EQ(g.node_count(), 2u);
  EXPECT_EQ(g.edge_count(), 2u);
  EXPECT_EQ(g.out_edges(1).size(), 1u);
  EXPECT_EQ(g.out_edges(7).size(), 1u);
}

TEST(GraphJson, DeepSkippedValuesNeverCrash) {
  constexpr std::size_t kDepth = 1'000'000;
  std::string deep = std::string(kDepth, '[') + std::string(kDepth, ']');
  EXPECT_EQ(refusal(R"({"nodes": [], "deep": )" + deep + R"(, "edges": []})"), "accepted");
  std::string text = R"({"nodes": [], "deep": )" + std::string(kDepth, '[');
  EXPECT_EQ(refusal(text),
            "EOF while parsing a list at line 1 column " + std::to_string(text.size()));
  // The deep value is checked even when it is a record's field value.
  EXPECT_EQ(refusal("[" + std::string(kDepth, '[')),
            "invalid type: sequence, expected u64 at line 1 column 3");
}

// Ids in runs, ids spaced by powers of two (which share their last bits),
// ids at the top of the range, and edge ends with no node record: every one
// gets its own dense number in order of first appearance, and ids never
// mentioned get none.
TEST(GraphJson, DenseNumbersWhateverTheIdsLookLike) {
  std::vector<NodeId> ids;
  for (NodeId i = 0; i < 3000; ++i) ids.push_back(1000817152 + i);
  for (NodeId i = 1; i <= 3000; ++i) ids.push_back(i << 3);
  for (NodeId i = 1; i <= 3000; ++i) ids.push_back((i << 12) + 5);
  for (NodeId i = 0; i < 3000; ++i) ids.push_back(UINT64_MAX - i);
  std::vector<Node> nodes;
  for (NodeId id : ids) nodes.push_back({id, 0.0, 0.0});
  nodes.push_back({ids[5], 1.0, 1.0});  // a duplicate record keeps the first number
  std::vector<Edge> edges;
  for (std::size_t i = 0; i + 1 < ids.size(); ++i) edges.push_back({ids[i], ids[i + 1], 1, 1, 0});
  edges.push_back({ids[0], 7777777, 1, 1, 0});  // an end with no record comes last
  RoadGraph g = RoadGraph::build(std::move(nodes), std::move(edges));
  ASSERT_EQ(g.dense_count(), ids.size() + 1);
  for (std::size_t i = 0; i < ids.size(); ++i) {
    ASSERT_EQ(g.dense_of(ids[i]), i) << ids[i];
    ASSERT_EQ(g.id_of(static_cast<RoadGraph::DenseId>(i)), ids[i]);
  }
  EXPECT_EQ(g.dense_of(7777777), ids.size());
  EXPECT_EQ(g.coordinates(5).lat, 1.0);
  for (NodeId absent : {NodeId{0}, NodeId{9}, NodeId{(1 << 12) + 6}, NodeId{1000817152 - 1},
                        NodeId{UINT64_MAX - 3000}})
    EXPECT_EQ(g.dense_of(absent), RoadGraph::kAbsent) << absent;

  // A repeated id early on shifts the numbers of the records after it.
  RoadGraph shifted =
      RoadGraph::build({{7, 1, 1}, {7, 2, 2}, {9, 3, 3}, {8, 4, 4}}, {{8, 9, 1, 1, 0}});
  ASSERT_EQ(shifted.dense_count(), 3u);
  EXPECT_EQ(shifted.dense_of(9), 1u);
  EXPECT_EQ(shifted.coordinates(0).lat, 2.0);
  EXPECT_EQ(shifted.coordinates(1).lat, 3.0);
  EXPECT_EQ(shifted.coordinates(2).lat, 4.0);
  EXPECT_EQ(shifted.head(0), 1u);
  EXPECT_EQ(shifted.out_edge_indices(2).size(), 1u);
}

// The arcs that searches read side by side must be the edge table's, node
// by node in edge order, for every kind of arc a document may hold; a
// mismatch would change routes without any other sign. Familiarity gets a
// table only where some arc's is not zero (searches then skip adding it).
class OutArcsTest : public ::testing::TestWithParam<int> {};

TEST_P(OutArcsTest, MirrorTheEdgeTable) {
  const int familiar = GetParam();  // 0: none, 1: all zero of both signs, 2: some, 3: one NaN
  std::mt19937_64 rng(7 + familiar);
  std::uniform_int_distribution<NodeId> id(1, 60);
  std::uniform_real_distribution<double> cost(-1.0, 100.0);
  std::vector<Node> nodes;
  for (NodeId i = 1; i <= 50; ++i) nodes.push_back({i * 3, 0.0, 0.0});
  std::vector<Edge> edges;
  for (int i = 0; i < 400; ++i) {  // self-loops, duplicates and ends without a record among them
    const double f = familiar == 1            ? (i % 2 ? -0.0 : 0.0)
                     : familiar == 2 && i % 3 ? cost(rng)
                                              : 0.0;
    edges.push_back(
        {id(rng) * 3, i % 7 == 0 ? NodeId{1000 + id(rng)} : id(rng) * 3, cost(rng), cost(rng), f});
  }
  edges.push_back({3, 6, NAN, INFINITY, familiar == 3 ? NAN : 0.0});
  RoadGraph g = RoadGraph::build(std::move(nodes), std::move(edges));
  const std::size_t before = g.memory_bytes();
  const RoadGraph::OutArcs out = g.out_arcs();
  const bool has_familiarity = familiar >= 2;
  EXPECT_EQ(out.has_familiarity(), has_familiarity);
  EXPECT_EQ(g.memory_bytes(),
            before + g.edge_count() * (sizeof(OutArc) + (has_familiarity ? sizeof(double) : 0)));
  for (RoadGraph::DenseId d = 0; d < g.dense_count(); ++d) {
    const std::span<const std::uint32_t> indices = g.out_edge_indices(d);
    const std::span<const OutArc> arcs = out.of(d);
    ASSERT_EQ(arcs.size(), indices.size());
    for (std::size_t i = 0; i < arcs.size(); ++i) {
      const Edge& edge = g.edge(indices[i]);
      EXPECT_EQ(arcs[i].edge, indices[i]);
      EXPECT_EQ(arcs[i].head, g.head(indices[i]));
      EXPECT_EQ(std::bit_cast<std::uint64_t>(arcs[i].distance_m),
                std::bit_cast<std::uint64_t>(edge.distance_m));
      EXPECT_EQ(std::bit_cast<std::uint64_t>(arcs[i].risk_score),
                std::bit_cast<std::uint64_t>(edge.risk_score));
      if (has_familiarity)
        EXPECT_EQ(std::bit_cast<std::uint64_t>(out.familiarity(arcs[i])),
                  std::bit_cast<std::uint64_t>(edge.familiarity));
    }
    for (RoadGraph::DenseId from : {d, RoadGraph::DenseId{0}, RoadGraph::kAbsent}) {
      const OutArc* onward = out.onward(d, from);
      constexpr std::uint32_t kNone = UINT32_MAX;
      std::uint32_t expected = kNone;  // the last arc in edge order that does not go back
      for (std::uint32_t e : indices)
        if (g.head(e) != from) expected = e;
      if (expected == kNone)
        EXPECT_EQ(onward, nullptr);
      else
        EXPECT_EQ(onward != nullptr ? onward->edge : kNone, expected);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Familiarity, OutArcsTest, ::testing::Values(0, 1, 2, 3));

// Tables grow ahead of need while a document is read; the finished graph
// must not keep the headroom, whichever array comes first.
TEST(GraphJson, HoldsItsTablesAtTheirSize) {
  constexpr int kNodes = 20000;
  std::string nodes = "[";
  std::string edges = "[";
  for (int i = 0; i < kNodes; ++i) {
    const std::string id = std::to_string(4000000000LL + 7 * i);
    const std::string next = std::to_string(4000000000LL + 7 * ((i + 1) % kNodes));
    nodes +=
        (i ? ",\n" : "") + std::string("{\"id\":") + id + ",\"lat\":42.5063746,\"lon\":1.5213451}";
    edges +=
        (i ? ",\n" : "") + std::string("[") + id + "," + next + ",37.48,44.97599999999999,null]";
    edges +=
        ",\n{\"from\":" + next + ",\"to\":" + id + ",\"distance_m\":37.48,\"risk_score\":0.25}";
  }
  nodes += "]";
  edges += "]";
  for (const std::string& text : {"{\"nodes\":" + nodes + ",\"edges\":" + edges + "}",
                                  "{\"edges\":" + edges + ",\"nodes\":" + nodes + "}"}) {
    RoadGraph g = decode_ok(text);
    ASSERT_EQ(g.edge_count(), 2u * kNodes);
    const double bytes_per_arc =
        static_cast<double>(g.memory_bytes()) / static_cast<double>(g.edge_count());
    EXPECT_LT(bytes_per_arc, 90.0);
  }
}

// Records written compactly in declaration order take a shorter way through
// the decoder than records with blanks: the same numbers, read either way,
// must give the same tables, bit for bit.
TEST(GraphJson, CompactAndSpacedRecordsGiveTheSameTables) {
  std::mt19937_64 rng(7);
  const char* ids[] = {
      "0", "7", "1000817152", "4294967296", "18446744073709551615", "9007199254740993"};
  const char* floats[] = {"0",
                          "-0",
                          "0.0",
                          "-0.0",
                          "37.48",
                          "124.33029063634548",
                          "-1.5",
                          "1e3",
                          "2.5E-3",
                          "1E+2",
                          "-7",
                          "0.012433029063634549",
                          "46.05047334448302",
                          "18446744073709551616",
                          "5.8470479950590795",
                          "123456789012345678901234",
                          "0.000001234",
                          "-9223372036854775809"};
  auto pick = [&rng](const auto& table) { return std::string(table[rng() % std::size(table)]); };
  std::string compact_nodes, spaced_nodes, compact_edges, spaced_edges;
  for (int i = 0; i < 2000; ++i) {
    const std::string id = pick(ids), lat = pick(floats), lon = pick(floats);
    const std::string sep = i ? "," : "";
    compact_nodes += sep + R"({"id":)" + id + R"(,"lat":)" + lat + R"(,"lon":)" + lon + "}";
    spaced_nodes += sep + R"({"id": )" + id + R"(, "lat": )" + lat + R"(, "lon": )" + lon + "}";
    const std::string from = pick(ids), to = pick(ids), d = pick(floats), r = pick(floats);
    const std::string head =
        R"({"from":)" + from + R"(,"to":)" + to + R"(,"distance_m":)" + d + R"(,"risk_score":)" + r;
    const std::string spaced = R"({"from": )" + from + R"(, "to": )" + to + R"(, "distance_m": )" +
                               d + R"(, "risk_score": )" + r;
    std::string familiarity;
    switch (rng() % 3) {
      case 0:
        break;
      case 1:
        familiarity = "null";
        break;
      default:
        familiarity = pick(floats);
    }
    compact_edges +=
        sep + head + (familiarity.empty() ? "" : R"(,"familiarity":)" + familiarity) + "}";
    spaced_edges +=
        sep + spaced + (familiarity.empty() ? "" : R"(, "familiarity": )" + familiarity) + "}";
  }
  RoadGraph compact =
      decode_ok(R"({"nodes":[)" + compact_nodes + R"(],"edges":[)" + compact_edges + "]}");
  RoadGraph spaced =
      decode_ok(R"({"nodes": [)" + spaced_nodes + R"(], "edges": [)" + spaced_edges + "]}");
  ASSERT_EQ(compact.node_count(), spaced.node_count());
  ASSERT_EQ(compact.edge_count(), spaced.edge_count());
  auto bits = [](double v) { return std::bit_cast<std::uint64_t>(v); };
  for (std::size_t i = 0; i < compact.node_count(); ++i) {
    const Node &a = compact.nodes()[i], &b = spaced.nodes()[i];
    ASSERT_EQ(a.id, b.id) << i;
    ASSERT_EQ(bits(a.lat), bits(b.lat)) << i;
    ASSERT_EQ(bits(a.lon), bits(b.lon)) << i;
  }
  for (std::size_t i = 0; i < compact.edge_count(); ++i) {
    const Edge &a = compact.edges()[i], &b = spaced.edges()[i];
    ASSERT_EQ(a.from, b.from) << i;
    ASSERT_EQ(a.to, b.to) << i;
    ASSERT_EQ(bits(a.distance_m), bits(b.distance_m)) << i;
    ASSERT_EQ(bits(a.risk_score), bits(b.risk_score)) << i;
    ASSERT_EQ(bits(a.familiarity), bits(b.familiarity)) << i;
  }
}

struct Refusal {
  const char* text;
  const char* message;  // with its position
};

class RefusalTest : public testing::TestWithParam<Refusal> {};

TEST_P(RefusalTest, TextAndPosition) {
  EXPECT_EQ(refusal(GetParam().text), GetParam().message);
}

// Named by the message, whose position tells apart cases with the same text.
std::string refusal_name(const testing::TestParamInfo<Refusal>& info) {
  return testing_support::case_name(info.index, {info.param.message});
}

INSTANTIATE_TEST_SUITE_P(
    RecordRules, RefusalTest,
    testing::Values(
        Refusal{"", "EOF while parsing a value at line 1 column 0"},
        Refusal{"  \n ", "EOF while parsing a value at line 2 column 1"},
        Refusal{"{}", "missing field `nodes` at line 1 column 2"},
        Refusal{R"({"nodes": []})", "missing field `edges` at line 1 column 13"},
        Refusal{R"({"nodes": [{"ID": 1, "lat": 0, "lon": 0}], "edges": []})",
                "missing field `id` at line 1 column 40"},
        Refusal{R"([[{"id": 1, "lat": 0}], []])", "missing field `lon` at line 1 column 21"},
        Refusal{R"([[], [{"from": 1, "to": 2, "risk_score": 0}]])",
                "missing field `distance_m` at line 1 column 43"},
        Refusal{R"({"nodes": [], "edges": [], "nodes": []})",
                "duplicate field `nodes` at line 1 column 34"},
        Refusal{"{\"nodes\": [], \"edges\": [], \"nodes\" \n : []}",
                "duplicate field `nodes` at line 2 column 1"},
        Refusal{R"([[{"id": 1, "id": 1}], []])", "duplicate field `id` at line 1 column 16"},
        Refusal{R"([[[7, 48.85]], []])",
                "invalid length 2, expected struct NodeJson with 3 elements at line 1 column 12"},
        Refusal{R"([[], [[1, 2, 10.0, 0.5]]])",
                "invalid length 4, expected struct EdgeJson with 5 elements at line 1 column 23"},
        Refusal{"[]",
                "invalid length 0, expected struct GraphJson with 2 elements at line 1 column 2"},
        Refusal{"[[]]",
                "invalid length 1, expected struct GraphJson with 2 elements at line 1 column 4"},
        Refusal{R"([[[7, 48.85, 2.35, 0]], []])", "trailing characters at line 1 column 20"},
        Refusal{"[[], [], []]", "trailing characters at line 1 column 10"},
        Refusal{"[[], [],]", "trailing comma at line 1 column 9"},
        Refusal{"[[], [] x", "trailing characters at line 1 column 9"},
        Refusal{"[[], [],", "trailing characters at line 1 column 8"},
        Refusal{"[[], []", "EOF while parsing a list at line 1 column 7"},
        Refusal{R"({"nodes": [], "edges": []} x)", "trailing characters at line 1 column 28"},
        Refusal{R"({"nodes": [], "edges": []}})", "trailing characters at line 1 column 27"},
        // Invalid types and values, described as the value found.
        Refusal{R"({"nodes": 5, "edges": []})",
                "invalid type: integer `5`, expected a sequence at line 1 column 11"},
        Refusal{R"({"nodes": {}, "edges": []})",
                "invalid type: map, expected a sequence at line 1 column 10"},
        Refusal{R"({"nodes": [{"id": -1, "lat": 0, "lon": 0}], "edges": []})",
                "invalid value: integer `-1`, expected u64 at line 1 column 20"},
        Refusal{R"([[[-9223372036854775808, 0, 0]], []])",
                "invalid value: integer `-9223372036854775808`, expected u64 at line 1 column 23"},
        Refusal{R"([[[7.0, 0, 0]], []])",
                "invalid type: floating point `7.0`, expected u64 at line 1 column 6"},
        Refusal{R"([[[1e3, 0, 0]], []])",
                "invalid type: floating point `1000.0`, expected u64 at line 1 column 6"},
        Refusal{R"([[[-0, 0, 0]], []])",
                "invalid type: floating point `-0.0`, expected u64 at line 1 column 5"},
        Refusal{R"([[[18446744073709551616, 0, 0]], []])",
                "invalid type: floating point `1.8446744073709552e19`, expected u64 at line 1 "
                "column 23"},
        Refusal{R"([[[1e20, 0, 0]], []])",
                "invalid type: floating point `1e20`, expected u64 at line 1 column 7"},
        Refusal{R"([[["7", 0, 0]], []])",
                "invalid type: string \"7\", expected u64 at line 1 column 6"},
        Refusal{R"([[["a\"\n\u0001", 0, 0]], []])",
                "invalid type: string \"a\\\"\\n\\u{1}\", expected u64 at line 1 column 16"},
        Refusal{R"([[[true, 0, 0]], []])",
                "invalid type: boolean `true`, expected u64 at line 1 column 7"},
        Refusal{R"([[[1, false, 0]], []])",
                "invalid type: boolean `false`, expected f64 at line 1 column 11"},
        Refusal{R"([[[1, null, 0]], []])", "invalid type: null, expected f64 at line 1 column 10"},
        Refusal{R"([[[1, [], 0]], []])", "invalid type: sequence, expected f64 at line 1 column 6"},
        Refusal{R"([[[1, 0, {}]], []])", "invalid type: map, expected f64 at line 1 column 9"},
        Refusal{R"([[], [[1, 2, 3, 4, "x"]]])",
                "invalid type: string \"x\", expected f64 at line 1 column 22"},
        Refusal{R"([[5], []])",
                "invalid type: integer `5`, expected struct NodeJson at line 1 column 3"},
        Refusal{R"([[], [null]])",
                "invalid type: null, expected struct EdgeJson at line 1 column 10"},
        Refusal{"5", "invalid type: integer `5`, expected struct GraphJson at line 1 column 1"},
        Refusal{
            "-2.5",
            "invalid type: floating point `-2.5`, expected struct GraphJson at line 1 column 4"},
        Refusal{"\"x\"",
                "invalid type: string \"x\", expected struct GraphJson at line 1 column 3"},
        Refusal{"{\"edges\": []}", "missing field `nodes` at line 1 column 13"},
        Refusal{"{\"Nodes\": [], \"EDGES\": []}", "missing field `nodes` at line 1 column 26"},
        Refusal{"{\"x\": \"\\udc00\", \"y\": {\"\\ud800\": \"\\udfff\\ud800\"}}",
                "missing field `nodes` at line 1 column 48"},
        Refusal{"{\n  \"nodes\": []\n}", "missing field `edges` at line 3 column 1"},
        Refusal{"[[], [{\"from\": 1, \"to\": 2, \"distance_m\": 0, \"familiarity\": 1}]]",
                "missing field `risk_score` at line 1 column 61"},
        Refusal{"{\"nodes\": [], \"nodes\" \n : []}", "duplicate field `nodes` at line 2 column 1"},
        Refusal{"[[], [{\"familiarity\": null, \"from\": 1, \"familiarity\": 0.5}]]",
                "duplicate field `familiarity` at line 1 column 52"},
        Refusal{"[[], \"x\"]",
                "invalid type: string \"x\", expected a sequence at line 1 column 8"},
        Refusal{"[[], [[1, -9223372036854775808, 0, 0, 0]]]",
                "invalid value: integer `-9223372036854775808`, expected u64 at line 1 column 30"},
        Refusal{"[[[1E+20, 0, 0]], []]",
                "invalid type: floating point `1e20`, expected u64 at line 1 column 8"},
        Refusal{"[[[-9223372036854775809, 0, 0]], []]",
                "invalid type: floating point `-9.223372036854776e18`, expected u64 at line 1 "
                "column 23"},
        Refusal{"[[[0.00000015, 0, 0]], []]",
                "invalid type: floating point `1.5e-7`, expected u64 at line 1 column 13"},
        Refusal{"[[[\"a\\\"\\\\\\n\\t\\u0000\\u0001\\u00e9\", 0, 0]], []]",
                "invalid type: string \"a\\\"\\\\\\n\\t\\0\\u{1}\303\251\", expected u64 at line 1 "
                "column 32"},
        Refusal{"[[{\"id\": null}], []]", "invalid type: null, expected u64 at line 1 column 13"},
        Refusal{"[[[[7], 0, 0]], []]", "invalid type: sequence, expected u64 at line 1 column 3"},
        Refusal{"[[[1, 0, null]], []]", "invalid type: null, expected f64 at line 1 column 13"},
        Refusal{"[[], [[1, 2, {}, 0, 0]]]", "invalid type: map, expected f64 at line 1 column 13"},
        Refusal{"[[], [[1, 2, 3, 4, \"0.5\"]]]",
                "invalid type: string \"0.5\", expected f64 at line 1 column 24"},
        Refusal{" \n 5 \n",
                "invalid type: integer `5`, expected struct GraphJson at line 2 column 2"},
        Refusal{"{\"nodes\": [\n  {\"id\": 1,\n   \"lon\": 2}\n], \"edges\": []}",
                "missing field `lat` at line 3 column 12"},
        Refusal{"[\n[],\n[\n [1, 2, 3, 4]\n]\n]",
                "invalid length 4, expected struct EdgeJson with 5 elements at line 4 column 13"},
        // Multi-line documents: lines count line feeds, columns count bytes.
        Refusal{"{\n  \"nodes\": [],\n  \"edges\": 5\n}",
                "invalid type: integer `5`, expected a sequence at line 3 column 12"},
        Refusal{"{\n  \"nodes\": [{\"id\": 1, \"lat\": 0,\n    \"lon\": 0, \"x\": "
                "\"\xc3\xa9\xc3\xa9\" x}]}",
                "expected `,` or `}` at line 3 column 27"},
        Refusal{"[\r\n[],\r\n[]\r\n]\r\nx", "trailing characters at line 5 column 1"}),
    refusal_name);

INSTANTIATE_TEST_SUITE_P(
    Grammar, RefusalTest,
    testing::Values(
        Refusal{"{", "EOF while parsing an object at line 1 column 1"},
        Refusal{R"({"nodes")", "EOF while parsing an object at line 1 column 8"},
        Refusal{R"({"nodes": )", "EOF while parsing a value at line 1 column 10"},
        Refusal{R"({"nodes": [)", "EOF while parsing a list at line 1 column 11"},
        Refusal{R"({"nodes": [{"id": 1)", "EOF while parsing an object at line 1 column 19"},
        Refusal{R"({"nodes": [], )", "EOF while parsing a value at line 1 column 14"},
        Refusal{R"({"nod)", "EOF while parsing a string at line 1 column 5"},
        Refusal{"[", "EOF while parsing a list at line 1 column 1"},
        Refusal{"[[[1, 2", "EOF while parsing a list at line 1 column 7"},
        Refusal{"[[[1, 2,", "EOF while parsing a value at line 1 column 8"},
        Refusal{"[[[1, 2.", "EOF while parsing a value at line 1 column 8"},
        Refusal{R"({"nodes" []})", "expected `:` at line 1 column 10"},
        Refusal{R"({"nodes": [] "edges": []})", "expected `,` or `}` at line 1 column 14"},
        Refusal{"[[] []]", "expected `,` or `]` at line 1 column 5"},
        Refusal{"[[[1 2 3]], []]", "expected `,` or `]` at line 1 column 6"},
        Refusal{R"({"nodes": tru})", "expected ident at line 1 column 14"},
        Refusal{R"([[], [[1, 2, 3, 4, nul]]])", "expected ident at line 1 column 23"},
        Refusal{R"({"nodes": x})", "expected value at line 1 column 11"},
        Refusal{"[,]", "expected value at line 1 column 2"},
        Refusal{R"({"nodes": [], "edges": [], "x": 01})", "invalid number at line 1 column 34"},
        Refusal{R"({"nodes": [], "edges": [], "x": -})", "invalid number at line 1 column 34"},
        Refusal{R"([[[1, 1., 0]], []])", "invalid number at line 1 column 9"},
        Refusal{R"([[[1, 1e400, 0]], []])", "number out of range at line 1 column 11"},
        Refusal{R"([[[1e400, 0, 0]], []])", "number out of range at line 1 column 8"},
        Refusal{R"({"x": "a\qb"})", "invalid escape at line 1 column 10"},
        Refusal{
            "{\"x\": \"a\tb\"}",
            "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 9"},
        // Inside a skipped value only the grammar counts: a surrogate escape
        // is four hex digits like any other. Record keys are decoded.
        Refusal{R"({"x": "\udc00"})", "missing field `nodes` at line 1 column 15"},
        Refusal{R"({"x": {"\ud800": ["\udfff\ud800"]}})",
                "missing field `nodes` at line 1 column 35"},
        Refusal{R"({"\udc00": 1})", "invalid unicode code point at line 1 column 8"},
        Refusal{R"({"nodes\ud800": 1})",
                "lone leading surrogate in hex escape at line 1 column 14"},
        Refusal{R"({"x": {"a": 1, )", "EOF while parsing an object at line 1 column 15"},
        Refusal{R"({"x": [{"a": 1,)", "EOF while parsing an object at line 1 column 15"},
        Refusal{R"({"x": [1, )", "EOF while parsing a value at line 1 column 10"},
        Refusal{R"({"x": -)", "invalid number at line 1 column 7"},
        Refusal{R"({"x": [-)", "invalid number at line 1 column 8"},
        // A skipped number cut short by the end of the text is malformed like
        // any other; a decoded one says the text ran out where a digit was due.
        Refusal{R"({"x": 0.)", "invalid number at line 1 column 8"},
        Refusal{R"({"x": [1e+)", "invalid number at line 1 column 10"},
        Refusal{R"({"x": {"a": -2.5E)", "invalid number at line 1 column 17"},
        Refusal{"[[[1, 2e-", "EOF while parsing a value at line 1 column 9"},
        Refusal{"{\"x\": nul", "EOF while parsing a value at line 1 column 9"},
        Refusal{"{\"x\": [[]", "EOF while parsing a list at line 1 column 9"},
        Refusal{"{\"x\": {\"a\": 1", "EOF while parsing an object at line 1 column 13"},
        Refusal{"{\"x\": \"abc", "EOF while parsing a string at line 1 column 10"},
        Refusal{"{\"x\": \"\\u12", "EOF while parsing a string at line 1 column 11"},
        Refusal{"{\"x\": \"a\\", "EOF while parsing a string at line 1 column 9"},
        Refusal{"{\"x\": {\"a\" 1}}", "expected `:` at line 1 column 12"},
        Refusal{"{\"x\": [1 2]}", "expected `,` or `]` at line 1 column 10"},
        Refusal{"{\"x\": {\"a\": 1 \"b\": 2}}", "expected `,` or `}` at line 1 column 15"},
        Refusal{"[[], [[1, 2, 3, 4, nulx]]]", "expected ident at line 1 column 23"},
        Refusal{"{\"x\": [falsy]}", "expected ident at line 1 column 12"},
        Refusal{"{\"x\": [1, }]}", "expected value at line 1 column 11"},
        Refusal{"{\"x\": +1}", "expected value at line 1 column 7"},
        Refusal{"{\"x\": \"\\u12G4\"}", "invalid escape at line 1 column 12"},
        Refusal{"{\"x\\x\": 1}", "invalid escape at line 1 column 5"},
        Refusal{"{\"x\": 01}", "invalid number at line 1 column 8"},
        Refusal{"{\"x\": -}", "invalid number at line 1 column 8"},
        Refusal{"{\"x\": 1.e5}", "invalid number at line 1 column 9"},
        Refusal{"{\"x\": 1e+x}", "invalid number at line 1 column 10"},
        Refusal{"[[[1, 2., 0]], []]", "invalid number at line 1 column 9"},
        Refusal{"[[[-1.8e308, 0, 0]], []]", "number out of range at line 1 column 11"},
        Refusal{"[[], [[1, 2, 3, 4, 123456789e301]]]", "number out of range at line 1 column 32"},
        Refusal{
            "{\"a\n\": 1}",
            "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"},
        Refusal{"{1: 2}", "key must be a string at line 1 column 2"},
        Refusal{"{\"x\": {\"a\": 1, 2: 3}}", "key must be a string at line 1 column 16"},
        Refusal{"{\"x\": [1, 2,]}", "trailing comma at line 1 column 13"},
        Refusal{"{\"x\": {\"a\": 1,}}", "trailing comma at line 1 column 15"},
        Refusal{"[[], []]\n\n}", "trailing characters at line 3 column 1"},
        Refusal{"{\"nodes\\ud800\": []}",
                "lone leading surrogate in hex escape at line 1 column 14"},
        Refusal{"{\"\\ud800\\u0041\": 1}",
                "lone leading surrogate in hex escape at line 1 column 14"},
        Refusal{"{\"nodes\": [],\n \"edges\": [\n", "EOF while parsing a list at line 3 column 0"},
        Refusal{R"({"x": "\u00"})", "unexpected end of hex escape at line 1 column 12"},
        Refusal{R"({"nodes": [], "edges": [], 5: 1})", "key must be a string at line 1 column 28"},
        Refusal{R"({"nodes": [], "edges": [],})", "trailing comma at line 1 column 27"},
        Refusal{R"({"nodes": [[1, 2, 3],], "edges": []})", "trailing comma at line 1 column 22"},
        Refusal{R"({"nodes": [], "edges": [], "x": [1, 2,]})",
                "trailing comma at line 1 column 39"},
        Refusal{R"({"nodes": [], "edges": [], "x": {"a": [}]})",
                "expected value at line 1 column 40"}),
    refusal_name);

// Records in the compact layout that break off or turn wrong somewhere: each
// is refused with the message and position of the same record written with
// blanks.
INSTANTIATE_TEST_SUITE_P(
    CompactRecords, RefusalTest,
    testing::Values(
        Refusal{R"({"nodes":[{"id":1,"lat":0,"lon":0,"id":2}],"edges":[]})",
                "duplicate field `id` at line 1 column 38"},
        Refusal{R"({"nodes":[{"id":-1,"lat":0,"lon":0}],"edges":[]})",
                "invalid value: integer `-1`, expected u64 at line 1 column 18"},
        Refusal{R"({"nodes":[{"id":1.5,"lat":0,"lon":0}],"edges":[]})",
                "invalid type: floating point `1.5`, expected u64 at line 1 column 19"},
        Refusal{R"({"nodes":[{"id":18446744073709551616,"lat":0,"lon":0}],"edges":[]})",
                "invalid type: floating point `1.8446744073709552e19`, expected u64 at line 1 "
                "column 36"},
        Refusal{R"({"nodes":[{"id":1,"lat":01,"lon":0}],"edges":[]})",
                "invalid number at line 1 column 26"},
        Refusal{R"({"nodes":[{"id":1,"lat":"0","lon":0}],"edges":[]})",
                "invalid type: string \"0\", expected f64 at line 1 column 27"},
        Refusal{R"({"nodes":[{"id":1,"lat":0,"lon":1e400}],"edges":[]})",
                "number out of range at line 1 column 37"},
        Refusal{R"({"nodes":[{"id":1,"lat":0,"lon":0)",
                "EOF while parsing an object at line 1 column 33"},
        Refusal{R"({"nodes":[{"id":1,"lat":0,"lon":12345678)",
                "EOF while parsing an object at line 1 column 40"},
        Refusal{R"({"nodes":[{"id":1,"lat":0,"lon":0})",
                "EOF while parsing a list at line 1 column 34"},
        Refusal{R"({"nodes":[{"id":1,"lat":0}],"edges":[]})",
                "missing field `lon` at line 1 column 26"},
        Refusal{
            R"({"nodes":[],"edges":[{"from":1,"to":2,"distance_m":1,"risk_score":2,"familiarity":"x"}]})",
            "invalid type: string \"x\", expected f64 at line 1 column 85"},
        Refusal{
            R"({"nodes":[],"edges":[{"from":1,"to":2,"distance_m":1,"risk_score":2,"familiarity":nul}]})",
            "expected ident at line 1 column 86"},
        Refusal{
            R"({"nodes":[],"edges":[{"from":1,"to":2,"distance_m":1,"risk_score":2,"familiarity":null,"familiarity":1}]})",
            "duplicate field `familiarity` at line 1 column 100"},
        Refusal{
            R"({"nodes":[],"edges":[{"from":1,"to":2,"distance_m":1,"risk_score":2,"from":3}]})",
            "duplicate field `from` at line 1 column 74"},
        Refusal{R"({"nodes":[],"edges":[{"from":1,"to":2,"distance_m":1}]})",
                "missing field `risk_score` at line 1 column 53"},
        Refusal{R"({"nodes":[],"edges":[{"from":1,"to":-2,"distance_m":1,"risk_score":2}]})",
                "invalid value: integer `-2`, expected u64 at line 1 column 38"},
        Refusal{R"({"nodes":[],"edges":[{"from":1,"to":2,"distance_m":1.,"risk_score":2}]})",
                "invalid number at line 1 column 54"},
        Refusal{R"({"nodes":[],"edges":[{"from":1,"to":2,"distance_m":-,"risk_score":2}]})",
                "invalid number at line 1 column 53"},
        Refusal{R"({"nodes":[],"edges":[{"from":1,"to":2,"distance_m":1,"risk_score":0.5e}]})",
                "invalid number at line 1 column 71"},
        Refusal{R"({"nodes":[],"edges":[{"from":1,"to":2,"distance_m":1,"risk_score":2]})",
                "expected `,` or `}` at line 1 column 68"},
        Refusal{R"({"nodes":[],"edges":[{"from":1,"to":2,"distance_m":1,"risk_score":2,}]})",
                "trailing comma at line 1 column 69"},
        Refusal{R"({"nodes":[],"edges":[{"from":1,"to":2,"distance_m":1,"risk_score":123456789012)",
                "EOF while parsing an object at line 1 column 78"}),
    refusal_name);

}  // namespace
}  // namespace velorin
