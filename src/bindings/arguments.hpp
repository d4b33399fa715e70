// Matching the arguments of a vector call to declared parameters, and the
// conversions from Python objects to native values.
//
// Messages follow the interpreter's own wording for Python functions, so a
// native call fails the way a Python function with the same signature would.
// They are kept word for word: callers match on them.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "bindings/error_value.hpp"
#include "bindings/python.hpp"

namespace velorin::py {

// The parameters of one callable. Every parameter may be given by position or
// by keyword; the first `required` of them must be given.
struct ArgumentDescription {
  std::string_view function_name;
  std::string_view class_name;  // empty for a module-level function
  std::span<const std::string_view> parameters;
  std::size_t required;
};

// Fills one slot per parameter with a borrowed reference to its argument (or
// null when it was not given). Nothing is converted and, unless a message has
// to be built, nothing is allocated.
Status match_arguments(const ArgumentDescription& description, PyObject* const* args,
                       Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> slots);

// An int (bool included) or any object with __index__, as an unsigned 64-bit
// integer; negative values and values of 2**64 or more raise OverflowError.
Result<std::uint64_t> to_u64(PyObject* object);
// Anything float() takes without parsing a str.
Result<double> to_f64(PyObject* object);
// The UTF-8 bytes of a str, borrowed from the str: valid while it lives.
Result<std::string_view> to_utf8_view(PyObject* object);

// TypeError "'{type qualname}' object cannot be converted to '{target}'".
ErrorValue cannot_convert(PyObject* object, std::string_view target);

// Names the parameter in a conversion's TypeError so the caller can tell which
// argument was wrong. Other exception types (OverflowError for an id out of
// range, or whatever an object's own __index__ raised) are already specific
// and pass through untouched.
ErrorValue for_argument(std::string_view parameter, ErrorValue error);

template <class T>
Result<T> argument(std::string_view parameter, Result<T> converted) {
  if (converted) return converted;
  return for_argument(parameter, converted.take_error());
}

}  // namespace velorin::py
