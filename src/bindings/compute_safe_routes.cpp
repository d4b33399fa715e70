#include "bindings/compute_safe_routes.hpp"

#include <array>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "bindings/arguments.hpp"
#include "bindings/py_graph.hpp"
#include "bindings/py_route_result.hpp"
#include "routing/route_request.hpp"

namespace velorin {

namespace {

using py::argument;
using py::raise;

constexpr std::array<std::string_view, 4> kParameters = {"graph", "source", "target", "eps"};
constexpr py::ArgumentDescription kArguments = {"compute_safe_routes", "", kParameters, 4};

// The interpreter lock stays held throughout, search included: the module
// shares nothing between calls, and the graph is only read.
PyObject* compute_safe_routes_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  std::array<PyObject*, 4> slots{};
  if (py::Status failed = py::match_arguments(kArguments, args, nargs, kwnames, slots))
    return raise(std::move(*failed));

  // In parameter order; the first that fails decides, and what earlier ones
  // took (the graph's borrow and reference) is given back on the way out.
  auto graph = argument("graph", borrow_graph(slots[0]));
  if (!graph) return raise(graph.take_error());
  auto source = argument("source", py::to_u64(slots[1]));
  if (!source) return raise(source.take_error());
  auto target = argument("target", py::to_u64(slots[2]));
  if (!target) return raise(target.take_error());
  auto eps = argument("eps", py::to_f64(slots[3]));
  if (!eps) return raise(eps.take_error());

  std::variant<std::vector<RouteRecord>, RouteError> routes =
      compute_safe_routes((*graph)->record, *source, *target, *eps);
  if (auto* refused = std::get_if<RouteError>(&routes))
    return raise(py::ErrorValue::pending(PyExc_RuntimeError, std::move(refused->message)));
  py::Result<py::ObjectRef> list = route_list(std::move(*std::get_if<0>(&routes)));
  if (!list) return raise(list.take_error());
  return list->release();
}

}  // namespace

// The docstring and text signature are kept word for word: Python shows them to
// users as help() and __text_signature__.
PyMethodDef compute_safe_routes_method = {
    "compute_safe_routes",
    py::as_method(&compute_safe_routes_entry),
    METH_FASTCALL | METH_KEYWORDS,
    "compute_safe_routes(graph, source, target, eps)\n"
    "--\n"
    "\n"
    "Calcule les 3 itinéraires Pareto-optimaux entre source et destination.\n"
    "\n"
    "# Arguments\n"
    "* `graph` — graphe C++ (PyGraph)\n"
    "* `source` — NodeId OSM de départ\n"
    "* `target` — NodeId OSM d'arrivée\n"
    "* `eps`    — approximation A*pex : 0.0 = exact, 0.1 = 10% approx (recommandé)",
};

}  // namespace velorin
