// The two classes of the module as heap types, created once per process on
// first need and kept until the process ends.
#pragma once

#include <atomic>
#include <mutex>
#include <span>

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

}  // namespace velorin::py
