// A handle to a started POSIX thread. Dropping the handle neither joins nor stops
// the thread. Used only by the request engine's threaded mode.
#pragma once

#include <pthread.h>

#include "shared_handle.h"

namespace kel {

struct _thread {
    pthread_t handle{};
    bool started = false;
};

class Thread : private ptr<_thread> {
  public:
    using entry_function = void* (*)(void*);

    // Starts entry(argument) on a new thread, detached when `detach` is set.
    // started() tells whether the thread could be created; when it is false the
    // entry function never runs and the caller still owns the argument.
    Thread(entry_function entry, void* argument, bool detach);

    bool started() const { return get()->started; }
};

}  // namespace kel
