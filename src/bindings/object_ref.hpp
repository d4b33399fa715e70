// An owned (strong) reference to a Python object, released when it goes out of
// scope, so that every early return gives back what the call took.
#pragma once

#include <utility>

#include "bindings/python.hpp"

namespace velorin::py {

class ObjectRef {
 public:
  ObjectRef() noexcept = default;
  ObjectRef(ObjectRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  ObjectRef& operator=(ObjectRef&& other) noexcept {
    ObjectRef old(std::move(*this));
    object_ = std::exchange(other.object_, nullptr);
    return *this;
  }
  ObjectRef(const ObjectRef&) = delete;
  ObjectRef& operator=(const ObjectRef&) = delete;
  ~ObjectRef() { Py_XDECREF(object_); }

  // Takes over a reference that the caller already owns (a "new reference" of
  // the C API); null stays null.
  static ObjectRef steal(PyObject* object) noexcept { return ObjectRef(object); }
  // Takes a new reference to an object that is only borrowed.
  static ObjectRef share(PyObject* object) noexcept {
    Py_XINCREF(object);
    return ObjectRef(object);
  }

  PyObject* get() const noexcept { return object_; }
  // Hands the reference to the caller (for returning it to the interpreter).
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  explicit operator bool() const noexcept { return object_ != nullptr; }

 private:
  explicit ObjectRef(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace velorin::py
