// Strict one-pass decoding of a graph document (records GraphJson, NodeJson,
// EdgeJson in object or array form) straight into a RoadGraph.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <variant>

#include "graph/road_graph.hpp"

namespace velorin {

// A decoding fault with its position: `line` is 1 + the number of line feeds
// before the fault, `column` the number of bytes since the last line feed.
struct JsonError {
  std::string message;
  std::size_t line = 1;
  std::size_t column = 0;

  // "{message} at line {line} column {column}", the text the caller sees.
  std::string describe() const;
};

// Decodes the whole UTF-8 text; nothing is built unless all of it decodes.
std::variant<RoadGraph, JsonError> decode_graph_json(std::string_view text);

}  // namespace velorin
