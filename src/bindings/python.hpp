// The one way this module includes the interpreter's headers: the full,
// version-specific API (not the limited one), with Py_ssize_t lengths.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace velorin::py {

// Method tables store every C function as a PyCFunction and let the flags say
// what it really is; going through a plain function pointer type keeps the
// compiler from warning about the cast between unrelated signatures.
template <class Function>
PyCFunction as_method(Function* function) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// Type slots take their functions as untyped pointers.
template <class Function>
void* as_slot(Function* function) noexcept {
  return reinterpret_cast<void*>(function);
}

}  // namespace velorin::py
