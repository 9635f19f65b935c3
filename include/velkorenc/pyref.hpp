// A single owner for one strong reference to a Python object.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace velkorenc::py {

class Ref {
 public:
  Ref() noexcept = default;
  // Takes over a new reference (or nullptr, for a failed call).
  explicit Ref(PyObject* owned) noexcept : obj_(owned) {}
  static Ref borrow(PyObject* borrowed) noexcept {
    Py_XINCREF(borrowed);
    return Ref(borrowed);
  }

  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    Ref(std::move(other)).swap(*this);
    return *this;
  }
  ~Ref() { Py_XDECREF(obj_); }

  void swap(Ref& other) noexcept { std::swap(obj_, other.obj_); }
  void reset(PyObject* owned = nullptr) noexcept { Ref(owned).swap(*this); }

  PyObject* get() const noexcept { return obj_; }
  // Hands the reference to the caller.
  PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
  explicit operator bool() const noexcept { return obj_ != nullptr; }

 private:
  PyObject* obj_ = nullptr;
};

}  // namespace velkorenc::py
