// glibc gives each thread that allocates while another holds an arena's lock an
// arena of its own, up to eight per processor. The reading threads fill the list table
// from a dozen arenas, and what they free around what the table keeps stays held by
// the process: at 10,000 domains of 10 lists, tens of megabytes more resident than
// the same table read on one thread. One arena keeps the table and the freed room together;
// the reading threads spend their time waiting on the storage, not on its lock.
// glibc also raises the size it maps apart after a large block is freed, so that
// the next ones stay in the arena; the readings handed over in large batches after
// a start would then stay there too, freed but held: the size is fixed instead.
#include "allocator_setting.h"

// Any header of the C library says whose it is.
#include <cstdlib>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace kel {

void settle_allocator() {
#if defined(__GLIBC__)
    mallopt(M_ARENA_MAX, 1);
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
#endif
}

}  // namespace kel
