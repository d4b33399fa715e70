#include "bindings/arguments.hpp"

#include <climits>
#include <optional>
#include <vector>

namespace velorin::py {

namespace {

std::string full_name(const ArgumentDescription& d) {
  std::string name;
  if (!d.class_name.empty()) {
    name += d.class_name;
    name += '.';
  }
  name += d.function_name;
  name += "()";
  return name;
}

ErrorValue type_error(std::string message) {
  return ErrorValue::pending(PyExc_TypeError, std::move(message));
}

// The parameter whose name equals the keyword's text exactly. A keyword whose
// text cannot be read as UTF-8 (lone surrogates) names no parameter.
std::optional<std::size_t> parameter_named(const ArgumentDescription& d, PyObject* keyword) {
  if (!PyUnicode_Check(keyword)) return std::nullopt;
  Result<std::string_view> text = utf8_view(keyword);
  if (!text) return std::nullopt;
  for (std::size_t i = 0; i < d.parameters.size(); ++i)
    if (d.parameters[i] == *text) return i;
  return std::nullopt;
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the interpreter's own list style.
std::string quoted_list(std::span<const std::string_view> names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() > 2) out += ',';
      out += i + 1 == names.size() ? " and " : " ";
    }
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

Status missing_arguments(const ArgumentDescription& d, std::size_t nargs,
                         std::span<PyObject*> slots) {
  if (nargs >= d.required) return std::nullopt;
  std::vector<std::string_view> missing;
  for (std::size_t i = nargs; i < d.required; ++i)
    if (slots[i] == nullptr) missing.push_back(d.parameters[i]);
  if (missing.empty()) return std::nullopt;
  return type_error(full_name(d) + " missing " + std::to_string(missing.size()) +
                    " required positional " + (missing.size() == 1 ? "argument" : "arguments") +
                    ": " + quoted_list(missing));
}

// Ids in an int: the interpreter marks failure with all ones, which is also a
// valid id, so only a set exception makes it a failure.
Result<std::uint64_t> int_to_u64(PyObject* integer) {
  unsigned long long value = PyLong_AsUnsignedLongLong(integer);
  if (value == ULLONG_MAX && PyErr_Occurred() != nullptr) return ErrorValue::fetch();
  return static_cast<std::uint64_t>(value);
}

std::string qualified_type_name(PyObject* object) {
  ObjectRef name = ObjectRef::steal(PyType_GetQualName(Py_TYPE(object)));
  if (!name) {
    PyErr_Clear();
    return "<failed to extract type name>";
  }
  Result<std::string_view> text = utf8_view(name.get());
  if (!text) return "<failed to extract type name>";
  return std::string(*text);
}

}  // namespace

Status match_arguments(const ArgumentDescription& d, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames, std::span<PyObject*> slots) {
  const std::size_t positional = static_cast<std::size_t>(nargs);
  const std::size_t declared = d.parameters.size();
  for (std::size_t i = 0; i < positional && i < declared; ++i) slots[i] = args[i];
  if (positional > declared) {
    // The count alone decides; keywords are not looked at.
    return type_error(full_name(d) + " takes " + std::to_string(declared) +
                      " positional arguments but " + std::to_string(positional) +
                      (positional == 1 ? " was" : " were") + " given");
  }
  if (kwnames != nullptr) {
    const Py_ssize_t keywords = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keywords; ++k) {
      PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
      std::optional<std::size_t> index = parameter_named(d, keyword);
      if (!index) {
        return type_error(full_name(d) + " got an unexpected keyword argument '" +
                          text_of(keyword) + "'");
      }
      if (slots[*index] != nullptr) {
        return type_error(full_name(d) + " got multiple values for argument '" +
                          std::string(d.parameters[*index]) + "'");
      }
      // Keyword values follow the positional ones in the vector.
      slots[*index] = args[nargs + k];
    }
  }
  return missing_arguments(d, positional, slots);
}

Result<std::uint64_t> to_u64(PyObject* object) {
  if (PyLong_Check(object)) return int_to_u64(object);
  ObjectRef index = ObjectRef::steal(PyNumber_Index(object));
  if (!index) return ErrorValue::fetch();
  return int_to_u64(index.get());
}

Result<double> to_f64(PyObject* object) {
  // The common case needs no call into the interpreter.
  if (PyFloat_CheckExact(object)) return PyFloat_AS_DOUBLE(object);
  double value = PyFloat_AsDouble(object);
  // -1.0 is a valid value; it is a failure only with an exception set.
  if (value == -1.0 && PyErr_Occurred() != nullptr) return ErrorValue::fetch();
  return value;
}

Result<std::string_view> to_utf8_view(PyObject* object) {
  if (!PyUnicode_Check(object)) return cannot_convert(object, "PyString");
  return utf8_view(object);
}

ErrorValue cannot_convert(PyObject* object, std::string_view target) {
  // Appended piece by piece: GCC 12 misreads `"'" + std::string` as an
  // overlapping copy.
  std::string message(1, '\'');
  message += qualified_type_name(object);
  message += "' object cannot be converted to '";
  message += target;
  message += '\'';
  return type_error(std::move(message));
}

ErrorValue for_argument(std::string_view parameter, ErrorValue error) {
  if (!error.is_exactly(PyExc_TypeError)) return error;
  // The replacement keeps the original's cause but is not chained to the
  // original itself: the caller sees one error about one argument.
  ObjectRef cause = error.cause();
  return type_error("argument '" + std::string(parameter) + "': " + error.text())
      .with_cause(std::move(cause));
}

}  // namespace velorin::py
