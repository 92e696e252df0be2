// How the process's memory allocator is set at start, for a process that holds a
// large table for a long time and fills it from many threads at once.
#pragma once

namespace kel {

// One allocation arena for every thread, and a fixed size above which a block is
// mapped apart (and given back whole when freed). Must be called while the process
// has one thread, before any other allocates. Does nothing where the allocator is not
// glibc's.
void settle_allocator();

}  // namespace kel
