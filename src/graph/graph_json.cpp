// Placeholder until the decoder lands: refuses every document.
#include "graph/graph_json.hpp"

namespace velorin {

std::string JsonError::describe() const {
  return message + " at line " + std::to_string(line) + " column " + std::to_string(column);
}

std::variant<RoadGraph, JsonError> decode_graph_json(std::string_view) {
  return JsonError{"graph decoding is not available yet", 1, 0};
}

}  // namespace velorin
