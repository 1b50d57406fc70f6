// Giving back, at interpreter exit, every Python object that property values
// still hold, so that their finalisers run (a buffered file kept in a property
// is flushed and closed) while the interpreter is whole.
#pragma once

namespace korvale::python {

// Registers, through the interpreter's atexit module, a call that first makes
// each store still alive let go of its Python objects (each becomes null in
// its property value; see let_go_of_opaque_values), then gives back every
// reference queued. A store stays usable afterwards; Python objects stored
// in it later are given back only when their values go.
void release_at_exit();

}  // namespace korvale::python
