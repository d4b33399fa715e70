#include "bindings/error_value.hpp"

#include "fault/internal_fault.hpp"

namespace velorin::py {

ErrorValue ErrorValue::pending(PyObject* type, std::string message) {
  return ErrorValue(Pending{type, std::move(message), false, ObjectRef()});
}

ErrorValue ErrorValue::fetch() {
  ObjectRef exception = ObjectRef::steal(PyErr_GetRaisedException());
  // Kept word for word: callers match on this text.
  if (!exception)
    return pending(PyExc_SystemError, "attempted to fetch exception but none was set");
  return ErrorValue(std::move(exception));
}

bool ErrorValue::is_exactly(PyObject* type) const noexcept {
  if (auto* p = std::get_if<Pending>(&state_)) return p->type == type;
  return reinterpret_cast<PyObject*>(Py_TYPE(std::get_if<ObjectRef>(&state_)->get())) == type;
}

std::string ErrorValue::text() const {
  if (auto* p = std::get_if<Pending>(&state_)) return p->message;
  return text_of(std::get_if<ObjectRef>(&state_)->get());
}

ObjectRef ErrorValue::cause() const {
  if (auto* p = std::get_if<Pending>(&state_)) return ObjectRef::share(p->cause.get());
  return ObjectRef::steal(PyException_GetCause(std::get_if<ObjectRef>(&state_)->get()));
}

ErrorValue ErrorValue::with_cause(ObjectRef cause) && {
  if (auto* p = std::get_if<Pending>(&state_)) {
    p->sets_cause = true;
    p->cause = std::move(cause);
  } else {
    // PyException_SetCause steals its argument.
    PyException_SetCause(std::get_if<ObjectRef>(&state_)->get(), cause.release());
  }
  return std::move(*this);
}

void ErrorValue::raise() && {
  if (auto* taken = std::get_if<ObjectRef>(&state_)) {
    // The same object goes back, with its traceback and chaining intact.
    PyErr_SetRaisedException(taken->release());
    return;
  }
  Pending& p = *std::get_if<Pending>(&state_);
  ObjectRef message = make_str(p.message);
  // The interpreter makes the instance, with the message as its only argument.
  PyErr_SetObject(p.type, message.get());
  if (p.sets_cause) {
    PyObject* exception = PyErr_GetRaisedException();
    PyException_SetCause(exception, p.cause.release());
    PyErr_SetRaisedException(exception);
  }
}

ObjectRef ErrorValue::into_instance() && {
  std::move(*this).raise();
  return ObjectRef::steal(PyErr_GetRaisedException());
}

PyObject* require_created(PyObject* created, std::source_location where) {
  if (created == nullptr) [[unlikely]] {
    // PyErr_Print is only defined with an exception set.
    if (PyErr_Occurred() != nullptr) PyErr_Print();
    internal_fault("Python API call failed", where);
  }
  return created;
}

ObjectRef make_str(std::string_view text, std::source_location where) {
  return ObjectRef::steal(require_created(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"), where));
}

Result<std::string_view> utf8_view(PyObject* str) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  if (data == nullptr) return ErrorValue::fetch();
  return std::string_view(data, static_cast<std::size_t>(size));
}

namespace {

std::string unprintable(PyObject* object) {
  ObjectRef name = ObjectRef::steal(PyType_GetName(Py_TYPE(object)));
  if (!name) {
    PyErr_Clear();
    return "<unprintable object>";
  }
  Result<std::string_view> text = utf8_view(name.get());
  if (!text) return "<unprintable object>";
  return "<unprintable " + std::string(*text) + " object>";
}

}  // namespace

std::string text_of(PyObject* object) {
  ObjectRef str = ObjectRef::steal(PyObject_Str(object));
  if (!str) {
    PyErr_WriteUnraisable(object);
    return unprintable(object);
  }
  if (Result<std::string_view> text = utf8_view(str.get())) return std::string(*text);
  // Lone surrogates: encode them as if they were characters, then decode the
  // bytes again, which turns every sequence UTF-8 refuses into U+FFFD.
  ObjectRef bytes = ObjectRef::steal(
      require_created(PyUnicode_AsEncodedString(str.get(), "utf-8", "surrogatepass")));
  ObjectRef clean = ObjectRef::steal(require_created(PyUnicode_DecodeUTF8(
      PyBytes_AS_STRING(bytes.get()), PyBytes_GET_SIZE(bytes.get()), "replace")));
  Result<std::string_view> text = utf8_view(clean.get());
  require(static_cast<bool>(text), "a str without surrogates has a UTF-8 form");
  return std::string(*text);
}

}  // namespace velorin::py
