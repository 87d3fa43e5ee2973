// How errors cross the boundary.
//
// Inside a call, C++ code signals "a Python exception is already set" by
// throwing `PythonError`. At the boundary `translate_exception()` turns the
// exception in flight into a Python exception: PythonError keeps what is set,
// the core's error types (core/errors.hpp) become the Python exceptions of the
// same name with the same message, and anything else -- a broken invariant --
// becomes the module's internal-error exception, which derives from
// BaseException so that ordinary `except Exception` handlers do not swallow it.
// Nothing thrown in native code may terminate the process.
#pragma once

#include "bind/ref.hpp"

#include <string>
#include <string_view>

namespace bind {

// Thrown after a C API call failed and left a Python exception set.
struct PythonError {};

// Throws PythonError when `o` is null (a failed C API call); returns it otherwise.
inline PyObject* check(PyObject* o) {
  if (o == nullptr) throw PythonError{};
  return o;
}
inline Ref check_ref(PyObject* o) { return Ref::steal(check(o)); }

// Sets the Python exception for the C++ exception being handled. Call only
// from inside a catch block.
void translate_exception() noexcept;

// The internal-error exception type (created once, never freed).
PyObject* internal_error_type();

// Sets `type` with `message` (UTF-8) and returns nullptr, for `return raise(...)`.
std::nullptr_t raise(PyObject* type, std::string_view message) noexcept;

// Attaches the note "while processing '<param>'" to the exception that is set.
void add_param_note(std::string_view param) noexcept;

// "'int' object is not an instance of 'str'" (or "'None' is not an instance of
// 'str'") as a TypeError; returns false for `return type_mismatch(...)`.
bool type_mismatch(PyObject* given, std::string_view expected) noexcept;

// The qualified name of an object's type, as UTF-8.
std::string type_qualname(PyObject* o);

}  // namespace bind
