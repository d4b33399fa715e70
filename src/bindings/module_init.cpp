// The module's only exported symbol, PyInit_velorin_core: single-phase
// initialisation of one module object per process.
//
// The module and its two types live in process-wide cells and are never torn
// down. Their instances and the graph's borrow counter are not designed to be
// shared across interpreters, so the module refuses to initialise in any
// interpreter other than the first one that loaded it.
#include <atomic>
#include <cstdint>
#include <string>

#include "bindings/compute_safe_routes.hpp"
#include "bindings/error_value.hpp"
#include "bindings/object_ref.hpp"
#include "bindings/py_class.hpp"
#include "bindings/py_graph.hpp"
#include "bindings/py_route_result.hpp"
#include "bindings/python.hpp"
#include "fault/internal_fault.hpp"

namespace velorin {

namespace {

using py::ErrorValue;
using py::ObjectRef;
using py::Result;
using py::Status;

// The interpreter API version the module declares when it is created: what
// PyModule_Create passes (PYTHON_API_VERSION), unchanged since long before
// 3.12; a mismatch would only make the interpreter warn.
constexpr int kPythonApiVersion = 1013;

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "velorin_core",
    "",  // __doc__ is the empty string, not None
    0,
    nullptr,  // compute_safe_routes is added by the body, not by a table
    nullptr,  // no slots: single-phase initialisation
    nullptr,
    nullptr,
    nullptr,
};

// The id of the interpreter that first ran the initialisation; -1 until then.
std::atomic<std::int64_t> first_interpreter{-1};
py::OnceCell module_cell;

// Records `name` in __all__ (creating the list on first use) and binds it.
Status add_member(PyObject* module, PyObject* name, PyObject* value) {
  ObjectRef all_name = py::make_str("__all__");
  ObjectRef all = ObjectRef::steal(PyObject_GetAttr(module, all_name.get()));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return ErrorValue::fetch();
    PyErr_Clear();
    all = ObjectRef::steal(py::require_created(PyList_New(0)));
    if (PyObject_SetAttr(module, all_name.get(), all.get()) < 0) return ErrorValue::fetch();
  }
  if (PyList_Append(all.get(), name) < 0)
    internal_fault("could not append __name__ to __all__ of velorin_core");
  if (PyObject_SetAttr(module, name, value) < 0) return ErrorValue::fetch();
  return std::nullopt;
}

Status add_type(PyObject* module, const py::PyClassDefinition& definition) {
  Result<PyTypeObject*> type = py::type_object(definition);
  if (!type) return type.take_error();
  ObjectRef name = py::make_str(definition.name);
  return add_member(module, name.get(), reinterpret_cast<PyObject*>(*type));
}

Status add_function(PyObject* module, PyMethodDef* method) {
  ObjectRef module_name = ObjectRef::steal(PyModule_GetNameObject(module));
  if (!module_name) return ErrorValue::fetch();
  ObjectRef function = ObjectRef::steal(PyCMethod_New(method, module, module_name.get(), nullptr));
  if (!function) return ErrorValue::fetch();
  ObjectRef name = ObjectRef::steal(PyObject_GetAttrString(function.get(), "__name__"));
  if (!name) return ErrorValue::fetch();
  return add_member(module, name.get(), function.get());
}

Status run_body(PyObject* module) {
  if (Status failed = add_type(module, py_graph_class)) return failed;
  if (Status failed = add_type(module, py_route_result_class)) return failed;
  return add_function(module, &compute_safe_routes_method);
}

Result<ObjectRef> initialise() {
  std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) return ErrorValue::fetch();
  std::int64_t expected = -1;
  if (!first_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    // Kept word for word: callers match on this text.
    return ErrorValue::pending(PyExc_ImportError,
                               "PyO3 modules do not yet support subinterpreters, see "
                               "https://github.com/PyO3/pyo3/issues/576");
  }
  // A repeated import (say after removal from sys.modules) gets the very same
  // module, with whatever Python code did to its namespace meanwhile.
  if (PyObject* module = module_cell.get()) return ObjectRef::share(module);

  ObjectRef module = ObjectRef::steal(PyModule_Create2(&module_definition, kPythonApiVersion));
  if (!module) return ErrorValue::fetch();
  // On failure the new module is dropped and the cell stays empty, so the
  // next import tries again (reusing any type already made).
  if (Status failed = run_body(module.get())) return std::move(*failed);
  return ObjectRef::share(module_cell.fill(std::move(module)));
}

}  // namespace

}  // namespace velorin

PyMODINIT_FUNC PyInit_velorin_core(void) {
  velorin::py::Result<velorin::py::ObjectRef> module = velorin::initialise();
  if (!module) return velorin::py::raise(module.take_error());
  return module->release();
}
