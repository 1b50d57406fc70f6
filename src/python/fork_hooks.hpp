// Keeping os.fork() from splitting a call in two: a child process has only
// the forking thread, so a store lock held by any other thread at the fork
// would stay held in the child for ever.
#pragma once

namespace korvale::python {

// Registers with os.register_at_fork: before a fork, the forking thread takes
// every live store as a writing call would (waiting, without the interpreter
// lock and running no Python code, for the calls running on them to end), so
// that no call is inside a store when the process is copied; after it, parent
// and child let go. A signal that arrives during that wait is handled once
// os.fork() returns. A fork from inside the thread's own call (a signal
// handler's) lets the call's pool work finish the items it has and keeps the
// call's store as the call holds it, alone: the call then goes on in both
// processes, its thread running the rest of its items. In the child, queries
// that the parent's other threads were running are free again.
void hold_stores_across_fork();

}  // namespace korvale::python
