#include "bindings/py_graph.hpp"

#include <array>
#include <string_view>
#include <utility>
#include <variant>

#include "bindings/arguments.hpp"
#include "graph/graph_json.hpp"

namespace velorin {

namespace {

using py::ErrorValue;
using py::raise;

constexpr std::array<std::string_view, 1> kFromJsonParameters = {"json_str"};
constexpr py::ArgumentDescription kFromJsonArguments = {"from_json", "PyGraph", kFromJsonParameters,
                                                        1};

PyObject* from_json(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, 1> slots{};
  if (py::Status failed = py::match_arguments(kFromJsonArguments, args, nargs, kwnames, slots))
    return raise(std::move(*failed));
  // A view into the str's own UTF-8 buffer: the argument outlives the call.
  py::Result<std::string_view> text = py::argument("json_str", py::to_utf8_view(slots[0]));
  if (!text) return raise(text.take_error());

  std::variant<RoadGraph, JsonError> decoded = decode_graph_json(*text);
  if (auto* fault = std::get_if<JsonError>(&decoded))
    return raise(ErrorValue::pending(PyExc_ValueError, fault->describe()));
  py::Result<py::ObjectRef> graph =
      py::new_instance(py_graph_class, std::move(*std::get_if<RoadGraph>(&decoded)));
  if (!graph) return raise(graph.take_error());
  return graph->release();
}

// The sizes are read under a shared borrow, like every read of the record.
template <std::size_t (RoadGraph::*Count)() const noexcept>
PyObject* count(PyObject* self, PyObject*) {
  auto graph = py::SharedBorrow<PyGraphObject>::take(self);
  if (!graph) return raise(graph.take_error());
  return py::require_created(
      PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(((*graph)->record.*Count)())));
}

// The docstrings and text signatures are kept word for word: Python shows them to
// users as help() and __text_signature__.
PyMethodDef methods[] = {
    {"from_json", py::as_method(&from_json), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "from_json(json_str)\n--\n\n"
     "Construit un PyGraph depuis une chaîne JSON\n"
     "Appelé depuis Python : `PyGraph.from_json(json_str)`"},
    {"node_count", py::as_method(&count<&RoadGraph::node_count>), METH_NOARGS,
     "node_count($self)\n--\n\nNombre de nœuds (utile pour les tests Python)"},
    {"edge_count", py::as_method(&count<&RoadGraph::edge_count>), METH_NOARGS,
     "edge_count($self)\n--\n\nNombre d'arcs"},
    {nullptr, nullptr, 0, nullptr},
};

py::OnceCell type_cell;

}  // namespace

const py::PyClassDefinition py_graph_class = {
    "PyGraph",
    "builtins.PyGraph",
    // Kept word for word, like every docstring.
    "Wrapper Python-visible du graphe C++",
    static_cast<int>(sizeof(PyGraphObject)),
    {},
    methods,
    nullptr,
    &py::dealloc_instance<RoadGraph>,
    &type_cell,
};

py::Result<py::SharedBorrow<PyGraphObject>> borrow_graph(PyObject* object) {
  PyTypeObject* type = py::required_type_object(py_graph_class);
  if (!PyObject_TypeCheck(object, type)) return py::cannot_convert(object, "PyGraph");
  return py::SharedBorrow<PyGraphObject>::take(object);
}

}  // namespace velorin
