#include "bindings/py_route_result.hpp"

#include <string>
#include <utility>

namespace velorin {

namespace {

using py::require_created;

PyObject* new_float(double value) {
  return require_created(PyFloat_FromDouble(value));
}

// Each read makes a new object, so changing what one read returned (the
// path list, say) never shows in the instance or in the next read.
PyObject* path(const RouteRecord& r) {
  PyObject* list = require_created(PyList_New(static_cast<Py_ssize_t>(r.path.size())));
  for (std::size_t i = 0; i < r.path.size(); ++i) {
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i),
                    require_created(PyLong_FromUnsignedLongLong(r.path[i])));
  }
  return list;
}
PyObject* total_distance_m(const RouteRecord& r) {
  return new_float(r.total_distance_m);
}
PyObject* total_risk(const RouteRecord& r) {
  return new_float(r.total_risk);
}
PyObject* total_familiarity(const RouteRecord& r) {
  return new_float(r.total_familiarity);
}
PyObject* route_type(const RouteRecord& r) {
  return py::make_str(r.route_type).release();
}
PyObject* estimated_time_min(const RouteRecord& r) {
  return new_float(r.estimated_time_min);
}
PyObject* node_count(const RouteRecord& r) {
  return require_created(PyLong_FromUnsignedLongLong(r.node_count));
}
PyObject* comfort_score(const RouteRecord& r) {
  return new_float(r.comfort_score);
}

// Every read of the record happens under a shared borrow of the instance.
template <PyObject* (*Read)(const RouteRecord&)>
PyObject* getter(PyObject* self, void*) {
  auto route = py::SharedBorrow<PyRouteResultObject>::take(self);
  if (!route) return py::raise(route.take_error());
  return Read((*route)->record);
}

PyObject* repr(PyObject* self) {
  auto route = py::SharedBorrow<PyRouteResultObject>::take(self);
  if (!route) return py::raise(route.take_error());
  return py::make_str(describe_route((*route)->record)).release();
}

// Read-only: no setters, so assignment and deletion fail in the interpreter.
PyGetSetDef getset[] = {
    {"path", &getter<&path>, nullptr, "", nullptr},
    {"total_distance_m", &getter<&total_distance_m>, nullptr, "", nullptr},
    {"total_risk", &getter<&total_risk>, nullptr, "", nullptr},
    {"total_familiarity", &getter<&total_familiarity>, nullptr, "", nullptr},
    {"route_type", &getter<&route_type>, nullptr, "", nullptr},
    {"estimated_time_min", &getter<&estimated_time_min>, nullptr, "", nullptr},
    {"node_count", &getter<&node_count>, nullptr, "", nullptr},
    {"comfort_score", &getter<&comfort_score>, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// repr() only; str() falls back to it, so both print the same text.
const PyType_Slot own_slots[] = {{Py_tp_repr, py::as_slot(&repr)}};

py::OnceCell type_cell;

}  // namespace

const py::PyClassDefinition py_route_result_class = {
    "PyRouteResult",
    "builtins.PyRouteResult",
    // Kept word for word, like every docstring.
    "Résultat retourné à Python : un itinéraire avec ses métriques complètes",
    static_cast<int>(sizeof(PyRouteResultObject)),
    own_slots,
    nullptr,
    getset,
    &py::dealloc_instance<RouteRecord>,
    &type_cell,
};

py::Result<py::ObjectRef> route_list(std::vector<RouteRecord> records) {
  py::ObjectRef list =
      py::ObjectRef::steal(require_created(PyList_New(static_cast<Py_ssize_t>(records.size()))));
  for (std::size_t i = 0; i < records.size(); ++i) {
    py::Result<py::ObjectRef> route =
        py::new_instance(py_route_result_class, std::move(records[i]));
    // Dropping the list releases the instances already stored (the empty
    // slots are null); the records not yet moved go with `records`.
    if (!route) return route.take_error();
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), route->release());
  }
  return list;
}

}  // namespace velorin
