// Thread creation. Unlike a bare pthread_create, the result is kept, so that the
// caller can answer a request whose thread could not be started.
#include "thread.h"

namespace kel {

Thread::Thread(entry_function entry, void* argument, bool detach) : ptr<_thread>(new _thread) {
    _thread& record = *get();
    if (pthread_create(&record.handle, nullptr, entry, argument) != 0) {
        return;
    }
    if (detach) {
        pthread_detach(record.handle);
    }
    record.started = true;
}

}  // namespace kel
