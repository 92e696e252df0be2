// The one lock for state that crosses between the serving thread and the background
// thread, annotated so that clang's -Wthread-safety checks every use: a member
// marked QUORVEL_GUARDED_BY(lock) cannot be touched without holding it. Other
// compilers see plain std::mutex code.
#pragma once

#include <mutex>

#if defined(__clang__)
#define QUORVEL_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define QUORVEL_THREAD_ANNOTATION(x)
#endif

#define QUORVEL_CAPABILITY(x) QUORVEL_THREAD_ANNOTATION(capability(x))
#define QUORVEL_SCOPED_CAPABILITY QUORVEL_THREAD_ANNOTATION(scoped_lockable)
#define QUORVEL_GUARDED_BY(x) QUORVEL_THREAD_ANNOTATION(guarded_by(x))
#define QUORVEL_REQUIRES(...) QUORVEL_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define QUORVEL_EXCLUDES(...) QUORVEL_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define QUORVEL_ACQUIRE(...) QUORVEL_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define QUORVEL_RELEASE(...) QUORVEL_THREAD_ANNOTATION(release_capability(__VA_ARGS__))

namespace kel {

class QUORVEL_CAPABILITY("mutex") AnnotatedMutex {
  public:
    void lock() QUORVEL_ACQUIRE() { held.lock(); }
    void unlock() QUORVEL_RELEASE() { held.unlock(); }

  private:
    std::mutex held;
};

// Holds the mutex for one scope. std::condition_variable_any may wait on the mutex
// itself while a holder is alive: it gives the mutex back before it returns.
class QUORVEL_SCOPED_CAPABILITY AnnotatedLock {
  public:
    explicit AnnotatedLock(AnnotatedMutex& mutex) QUORVEL_ACQUIRE(mutex) : mutex(mutex) {
        mutex.lock();
    }
    ~AnnotatedLock() QUORVEL_RELEASE() { mutex.unlock(); }
    AnnotatedLock(const AnnotatedLock&) = delete;
    AnnotatedLock& operator=(const AnnotatedLock&) = delete;

  private:
    AnnotatedMutex& mutex;
};

}  // namespace kel
