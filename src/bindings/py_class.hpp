// The two classes of the module as heap types, created once per process on
// first need and kept until the process ends.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <new>
#include <span>
#include <utility>

#include "bindings/borrow.hpp"
#include "bindings/error_value.hpp"
#include "bindings/object_ref.hpp"
#include "bindings/python.hpp"

namespace velorin::py {

// Holds one strong reference for the life of the process. Filling is a
// one-time event shared by every thread; a value made by a caller that lost
// the race is dropped and everyone gets the first. The value is made outside
// the once-guard, because making it runs Python code that may let other
// threads in, and one of them could be waiting on the guard with the GIL.
class OnceCell {
 public:
  PyObject* get() const noexcept { return value_.load(std::memory_order_acquire); }
  PyObject* fill(ObjectRef value) {
    std::call_once(once_, [&] { value_.store(value.release(), std::memory_order_release); });
    return get();
  }

 private:
  std::once_flag once_;
  std::atomic<PyObject*> value_{nullptr};
};

// What the interpreter needs to know to make one class.
struct PyClassDefinition {
  const char* name;     // "PyGraph"
  const char* tp_name;  // "builtins.PyGraph": the interpreter takes __module__ from the prefix
  const char* doc;
  int basic_size;
  std::span<const PyType_Slot> own_slots;  // the class's own slots, e.g. Py_tp_repr
  PyMethodDef* methods;                    // closed by a zero entry, or null
  PyGetSetDef* getset;                     // closed by a zero entry, or null
  destructor dealloc;
  OnceCell* type_cell;
};

// The class's type object (borrowed; the cell owns it), made on first use.
// A failure is a RuntimeError "An error occurred while initializing class
// {name}" caused by the interpreter's error.
Result<PyTypeObject*> type_object(const PyClassDefinition& definition);

// For callers that cannot go on without the type: failing to make it is an
// internal fault, reported with the creation error and aborting the process.
PyTypeObject* required_type_object(const PyClassDefinition& definition);

// The last step of deallocation, after the native record was dropped: frees
// the memory through the type's own tp_free and gives back the reference that
// every instance of a heap type holds to its type.
void free_instance(PyObject* self);

// The shape of an instance of either class: the object header, the native
// record by value, then the record's borrow counter. No instance dictionary,
// no weak references.
template <class Record>
struct Instance {
  PyObject ob_base;
  Record record;  // never changes after the instance is made
  BorrowCounter borrow;
};

// A new instance of the class, made through its type's allocation slot and
// owning `record`. If the interpreter cannot allocate it, its error comes
// back and the record is dropped on the way out.
template <class Record>
Result<ObjectRef> new_instance(const PyClassDefinition& definition, Record record) {
  PyTypeObject* type = required_type_object(definition);
  ObjectRef object = ObjectRef::steal(type->tp_alloc(type, 0));
  if (!object) return ErrorValue::fetch();
  auto* instance = reinterpret_cast<Instance<Record>*>(object.get());
  new (&instance->record) Record(std::move(record));
  new (&instance->borrow) BorrowCounter();
  return object;
}

// tp_dealloc of a class whose instances hold a Record: drops the record,
// then frees the memory.
template <class Record>
void dealloc_instance(PyObject* self) {
  auto* instance = reinterpret_cast<Instance<Record>*>(self);
  std::destroy_at(&instance->record);
  std::destroy_at(&instance->borrow);
  free_instance(self);
}

}  // namespace velorin::py
