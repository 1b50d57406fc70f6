// Keeping os.fork() from splitting a call in two: a child process has only
// the forking thread, so a store lock held by any other thread at the fork
// would stay held in the child for ever.
#pragma once

namespace korvale::python {

// Registers with os.register_at_fork: before a fork, the forking thread takes
// every live store as a writing call would (waiting, without the interpreter
// lock, for the calls running on them to end), so that no call is inside a
// store when the process is copied; after it, parent and child let go. A
// fork made while the thread's own call runs (from a signal handler) takes
// nothing, and neither does a wait that Ctrl-C ends: such a fork may leave
// the child a store it cannot use.
void hold_stores_across_fork();

}  // namespace korvale::python
