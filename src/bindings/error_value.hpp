// Failures as values. Everything below a Python entry point returns either its
// result or an ErrorValue; only the entry point that Python called raises, by
// making the error the interpreter's current exception and returning null.
#pragma once

#include <optional>
#include <source_location>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "bindings/object_ref.hpp"
#include "bindings/python.hpp"

namespace velorin::py {

class ErrorValue {
 public:
  // An exception to be made from a built-in exception class and a message
  // when it is raised; formatting the text here costs nothing on the
  // interpreter's side if the error is later dropped or replaced.
  static ErrorValue pending(PyObject* type, std::string message);
  // Takes over the exception that the interpreter holds after a call reported
  // failure. Should the interpreter hold none, the failure is still reported,
  // as a SystemError, rather than returning null without an exception.
  static ErrorValue fetch();

  // True when the exception's class is exactly `type` (subclasses excluded).
  bool is_exactly(PyObject* type) const noexcept;
  // The message the caller would read: str() of the exception.
  std::string text() const;
  // The exception's __cause__ (empty when it has none).
  ObjectRef cause() const;
  // Makes the raised exception's __cause__ this object (none when empty).
  ErrorValue with_cause(ObjectRef cause) &&;

  // Makes this error the interpreter's current exception.
  void raise() &&;
  // The exception instance itself, without leaving it raised.
  ObjectRef into_instance() &&;

 private:
  struct Pending {
    PyObject* type;  // a built-in exception class: lives as long as the interpreter
    std::string message;
    bool sets_cause = false;
    ObjectRef cause;
  };
  explicit ErrorValue(Pending pending) : state_(std::move(pending)) {}
  explicit ErrorValue(ObjectRef taken) : state_(std::move(taken)) {}

  std::variant<Pending, ObjectRef> state_;
};

// A value or the error that prevented it.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(ErrorValue error) : state_(std::in_place_index<1>, std::move(error)) {}

  explicit operator bool() const noexcept { return state_.index() == 0; }
  T& operator*() noexcept { return *std::get_if<0>(&state_); }
  T* operator->() noexcept { return std::get_if<0>(&state_); }
  ErrorValue take_error() { return std::move(*std::get_if<1>(&state_)); }

 private:
  std::variant<T, ErrorValue> state_;
};

// The outcome of a step that yields nothing: empty on success.
using Status = std::optional<ErrorValue>;

// Entry points end a failed call with `return raise(std::move(error));`.
inline PyObject* raise(ErrorValue error) {
  std::move(error).raise();
  return nullptr;
}

// An interpreter call that only creates a str, int, float or list cannot fail
// in a working interpreter; if it does, the process reports it and aborts.
PyObject* require_created(PyObject* created,
                          std::source_location where = std::source_location::current());

// A new str from UTF-8 text. Invalid sequences become U+FFFD, so that no text
// that a message quotes can turn a reported failure into an internal fault.
ObjectRef make_str(std::string_view text,
                   std::source_location where = std::source_location::current());

// The UTF-8 form of a str, borrowed from it: valid while the str lives (the
// interpreter keeps it with the object). A str holding lone surrogates has
// none, and the interpreter's UnicodeEncodeError comes back as the error;
// callers that only want the text may drop that error.
Result<std::string_view> utf8_view(PyObject* str);

// str() of an object as UTF-8 text, for messages. Lone surrogates come out as
// U+FFFD; an object whose str() fails reads "<unprintable {type} object>",
// and that failure is reported as unraisable.
std::string text_of(PyObject* object);

}  // namespace velorin::py
