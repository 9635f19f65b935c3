// Letting go of the GIL around native work that touches no Python object.
#pragma once

#include <chrono>

#include "velkorenc/core/platform/pieces.hpp"
#include "velkorenc/core/platform/threads.hpp"
#include "velkorenc/pyref.hpp"

namespace velkorenc::py {

// Releases the GIL for its lifetime when asked to; work inside may take it
// back for a moment with Reacquire (to grow a Python object, say).
//
// As a checkpoint between two pieces of the work, it lets pending signal
// handlers run, so that Ctrl-C ends a long call: on the thread that runs
// them (the main thread; on others PyErr_CheckSignals does nothing, so
// they do not take the GIL back at all), and at most every kSignalInterval,
// since taking the GIL back can wait for a thread that holds it.  The first
// checkpoint finds out which thread it runs on: calls too short to have
// pieces never look.  A handler that raised stops the work; the GIL is
// then held until the end and interrupted() is true.
class GilRelease final : public core::Checkpoint {
 public:
  explicit GilRelease(bool release) noexcept
      : saved_(release ? PyEval_SaveThread() : nullptr) {}
  ~GilRelease() {
    if (saved_) PyEval_RestoreThread(saved_);
  }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

  bool released() const noexcept { return saved_ != nullptr; }
  bool interrupted() const noexcept { return interrupted_; }

  bool resume() noexcept override {
    if (interrupted_) return false;
    if (signals_ == Signals::unknown) {
      signals_ = core::on_main_thread() ? Signals::run_here : Signals::run_elsewhere;
    }
    if (signals_ == Signals::run_elsewhere) return true;
    // The clock is first read after the first piece: calls too short to
    // have pieces never read it.
    const auto now = std::chrono::steady_clock::now();
    if (!clock_started_) {
      clock_started_ = true;
      next_check_ = now + kSignalInterval;
    }
    if (now < next_check_) return true;
    next_check_ = now + kSignalInterval;
    const bool was_released = saved_ != nullptr;
    if (was_released) {
      PyEval_RestoreThread(saved_);
      saved_ = nullptr;
    }
    if (PyErr_CheckSignals() < 0) {
      interrupted_ = true;
      return false;
    }
    if (was_released) saved_ = PyEval_SaveThread();
    return true;
  }

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
  static constexpr std::chrono::milliseconds kSignalInterval{20};

  enum class Signals : unsigned char { unknown, run_here, run_elsewhere };

  Signals signals_ = Signals::unknown;
  bool interrupted_ = false;
  bool clock_started_ = false;
  std::chrono::steady_clock::time_point next_check_;
  PyThreadState* saved_;
};

// For a system call that a signal interrupted while the GIL was let go of:
// runs pending signal handlers at once, with the GIL taken back for the
// moment, as the interpreter's own open and write do before trying again.
// False when a handler raised; the exception is then set.
class SignalHandlersNow final : public core::Checkpoint {
 public:
  explicit SignalHandlersNow(GilRelease& gil) noexcept : gil_(gil) {}
  bool resume() noexcept override {
    GilRelease::Reacquire hold(&gil_);
    return PyErr_CheckSignals() == 0;
  }

 private:
  GilRelease& gil_;
};

}  // namespace velkorenc::py
