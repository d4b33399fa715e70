// PyGraph: the Python object that owns one RoadGraph.
#pragma once

#include "bindings/borrow.hpp"
#include "bindings/error_value.hpp"
#include "bindings/py_class.hpp"
#include "bindings/python.hpp"
#include "graph/road_graph.hpp"

namespace velorin {

using PyGraphObject = py::Instance<RoadGraph>;

extern const py::PyClassDefinition py_graph_class;

// Takes a shared borrow of a PyGraph argument; anything else is the TypeError
// "'{type}' object cannot be converted to 'PyGraph'".
py::Result<py::SharedBorrow<PyGraphObject>> borrow_graph(PyObject* object);

}  // namespace velorin
