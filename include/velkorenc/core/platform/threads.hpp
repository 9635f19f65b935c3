// Which thread of the process is running.
#pragma once

namespace velkorenc::core {

// Whether the calling thread is the process's main thread: the one the
// program started on or, in a child process, the one that forked it (which
// is where the interpreter runs signal handlers).  True where the system
// cannot tell, so that a caller that asks in order to run the handlers
// leaves that decision to the interpreter.
bool on_main_thread() noexcept;

}  // namespace velkorenc::core
