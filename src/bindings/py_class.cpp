#include "bindings/py_class.hpp"

#include <string>
#include <vector>

#include "fault/internal_fault.hpp"

namespace velorin::py {

namespace {

// Installed as tp_new: neither class can be made from Python, only by the
// module itself (from_json for graphs, the route request for results).
PyObject* refuse_construction(PyTypeObject* type, PyObject*, PyObject*) {
  // Kept word for word, like the other messages of this file: callers match on them.
  std::string name = "<unknown>";
  if (ObjectRef type_name = ObjectRef::steal(PyType_GetName(type)))
    name = text_of(type_name.get());
  else
    PyErr_Clear();
  return raise(ErrorValue::pending(PyExc_TypeError, "No constructor defined for " + name));
}

Result<PyTypeObject*> create_type(const PyClassDefinition& c) {
  // Slot order: doc, the class's own slots, methods, attributes, then the
  // base, the constructor and the deallocation.
  std::vector<PyType_Slot> slots;
  if (c.doc != nullptr && c.doc[0] != '\0') slots.push_back({Py_tp_doc, const_cast<char*>(c.doc)});
  slots.insert(slots.end(), c.own_slots.begin(), c.own_slots.end());
  if (c.methods != nullptr) slots.push_back({Py_tp_methods, c.methods});
  if (c.getset != nullptr) slots.push_back({Py_tp_getset, c.getset});
  slots.push_back({Py_tp_base, &PyBaseObject_Type});
  slots.push_back({Py_tp_new, as_slot(&refuse_construction)});
  slots.push_back({Py_tp_dealloc, as_slot(c.dealloc)});
  slots.push_back({0, nullptr});

  // Default flags only: no subclassing from Python, no cyclic GC (instances
  // hold no Python references), no instance dict and no weak references.
  PyType_Spec type_spec = {c.tp_name, c.basic_size, 0, Py_TPFLAGS_DEFAULT, slots.data()};
  ObjectRef type = ObjectRef::steal(PyType_FromSpec(&type_spec));
  if (!type) {
    ObjectRef cause = ErrorValue::fetch().into_instance();
    return ErrorValue::pending(PyExc_RuntimeError,
                               std::string("An error occurred while initializing class ") + c.name)
        .with_cause(std::move(cause));
  }
  return reinterpret_cast<PyTypeObject*>(c.type_cell->fill(std::move(type)));
}

}  // namespace

Result<PyTypeObject*> type_object(const PyClassDefinition& definition) {
  if (PyObject* type = definition.type_cell->get()) return reinterpret_cast<PyTypeObject*>(type);
  return create_type(definition);
}

PyTypeObject* required_type_object(const PyClassDefinition& definition) {
  Result<PyTypeObject*> type = type_object(definition);
  if (!type) {
    std::move(type.take_error()).raise();
    PyErr_PrintEx(0);
    internal_fault(std::string("failed to create type object for ") + definition.name);
  }
  return *type;
}

void free_instance(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  // Keep both types alive while the memory goes back: freeing the last
  // instance must not let its type disappear under tp_free.
  Py_INCREF(&PyBaseObject_Type);
  Py_INCREF(type);
  freefunc free = type->tp_free;
  require(free != nullptr, "type has no tp_free");
  free(self);
  // The instance's own reference to its (heap) type, taken at allocation.
  Py_DECREF(type);
  Py_DECREF(type);
  Py_DECREF(&PyBaseObject_Type);
}

}  // namespace velorin::py
