// Letting go of the GIL around native work that touches no Python object.
#pragma once

#include "velkorenc/pyref.hpp"

namespace velkorenc::py {

// Releases the GIL for its lifetime when asked to; work inside may take it
// back for a moment with Reacquire (to grow a Python object, say).
class GilRelease {
 public:
  explicit GilRelease(bool release) noexcept : saved_(release ? PyEval_SaveThread() : nullptr) {}
  ~GilRelease() {
    if (saved_) PyEval_RestoreThread(saved_);
  }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

  bool released() const noexcept { return saved_ != nullptr; }

  // Holds the GIL for its lifetime, inside a GilRelease that let go of it.
  class Reacquire {
   public:
    explicit Reacquire(GilRelease* outer) noexcept
        : outer_(outer && outer->saved_ ? outer : nullptr) {
      if (outer_) PyEval_RestoreThread(outer_->saved_);
    }
    ~Reacquire() {
      if (outer_) outer_->saved_ = PyEval_SaveThread();
    }
    Reacquire(const Reacquire&) = delete;
    Reacquire& operator=(const Reacquire&) = delete;

   private:
    GilRelease* outer_;
  };

 private:
  PyThreadState* saved_;
};

}  // namespace velkorenc::py
