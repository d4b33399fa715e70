// PyRouteResult: one computed route, read-only from Python.
#pragma once

#include <vector>

#include "bindings/borrow.hpp"
#include "bindings/error_value.hpp"
#include "bindings/py_class.hpp"
#include "bindings/python.hpp"
#include "routing/route_record.hpp"

namespace velorin {

using PyRouteResultObject = py::Instance<RouteRecord>;

extern const py::PyClassDefinition py_route_result_class;

// A new list holding one new PyRouteResult per record, in order.
py::Result<py::ObjectRef> route_list(std::vector<RouteRecord> records);

}  // namespace velorin
