// Owning handle for a Python object reference.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace bind {

// Holds one strong reference; releases it on destruction. `steal` adopts a new
// reference (as returned by most C API calls), `borrow` adds one.
class Ref {
 public:
  Ref() = default;
  static Ref steal(PyObject* o) { return Ref(o); }
  static Ref borrow(PyObject* o) {
    Py_XINCREF(o);
    return Ref(o);
  }
  Ref(const Ref& other) : ptr_(Py_XNewRef(other.ptr_)) {}
  Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
  Ref& operator=(Ref other) noexcept {
    std::swap(ptr_, other.ptr_);
    return *this;
  }
  ~Ref() { Py_XDECREF(ptr_); }

  PyObject* get() const { return ptr_; }
  // Gives up ownership: the caller now owns the reference.
  PyObject* release() { return std::exchange(ptr_, nullptr); }
  explicit operator bool() const { return ptr_ != nullptr; }

 private:
  explicit Ref(PyObject* o) : ptr_(o) {}
  PyObject* ptr_ = nullptr;
};

}  // namespace bind
