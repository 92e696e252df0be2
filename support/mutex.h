// Recursive locks over POSIX mutexes, and the scope holder that takes them.
// Every lock of the filter is recursive: a thread that holds one may take it again.
#pragma once

#include <pthread.h>

namespace kel {

// Holds one POSIX recursive mutex. The two concrete kinds differ only in where the
// mutex comes from and where it goes when the lock object ends.
class MutexInterface {
  public:
    MutexInterface(const MutexInterface&) = delete;
    MutexInterface& operator=(const MutexInterface&) = delete;
    virtual ~MutexInterface() = 0;

    // Waits as long as needed. The POSIX results are not examined: the mutex is
    // recursive and always initialised, so locking cannot fail for a valid caller.
    void lock() { pthread_mutex_lock(handle); }
    void unlock() { pthread_mutex_unlock(handle); }
    pthread_mutex_t* native_handle() const { return handle; }

  protected:
    explicit MutexInterface(pthread_mutex_t* mutex) : handle(mutex) {}
    pthread_mutex_t* handle;
};

// A recursive mutex made for this object and destroyed with it.
class SimpleMutex final : public MutexInterface {
  public:
    SimpleMutex();
    ~SimpleMutex() override;
};

// A recursive mutex drawn from a process-wide first-in-first-out pool of mutexes
// given back by earlier Mutex objects; it returns to the pool when the object ends.
// The number of POSIX mutexes ever made equals the most Mutex objects alive at once.
class Mutex final : public MutexInterface {
  public:
    Mutex();
    ~Mutex() override;
};

// Number of mutexes waiting in the pool; for tests of the reuse order.
unsigned long pooled_mutex_count();

}  // namespace kel

// Holds a lock for one scope. REQUIRES: the mutex outlives the holder.
class ScopedLock {
  public:
    ScopedLock(kel::MutexInterface& mutex, bool lock_now) : mutex(mutex), held(false) {
        if (lock_now) {
            mutex.lock();
            held = true;
        }
    }
    ~ScopedLock() {
        if (held) {
            mutex.unlock();
            held = false;
        }
    }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

  private:
    kel::MutexInterface& mutex;
    bool held;
};
