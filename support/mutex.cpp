// The recursive mutexes and the pool that recycles the mutexes of kel::Mutex.
// The pool and its lock are made on first use, so any static Mutex is made after
// them and destroyed before them: its mutex is back in the pool when the pool ends.
#include "mutex.h"

#include <deque>

namespace kel {
namespace {

pthread_mutex_t* new_recursive_mutex() {
    auto* mutex = new pthread_mutex_t;
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
    return mutex;
}

void destroy_mutex(pthread_mutex_t* mutex) {
    pthread_mutex_destroy(mutex);
    delete mutex;
}

struct MutexPool {
    std::deque<pthread_mutex_t*> mutexes;
    ~MutexPool() {
        for (pthread_mutex_t* mutex : mutexes) {
            destroy_mutex(mutex);
        }
    }
};

SimpleMutex& pool_lock() {
    static SimpleMutex lock;
    return lock;
}

MutexPool& mutex_pool() {
    static MutexPool pool;
    return pool;
}

pthread_mutex_t* take_pooled_mutex() {
    ScopedLock hold(pool_lock(), true);
    MutexPool& pool = mutex_pool();
    if (pool.mutexes.empty()) {
        return new_recursive_mutex();
    }
    pthread_mutex_t* mutex = pool.mutexes.front();
    pool.mutexes.pop_front();
    return mutex;
}

}  // namespace

MutexInterface::~MutexInterface() = default;

SimpleMutex::SimpleMutex() : MutexInterface(new_recursive_mutex()) {}

SimpleMutex::~SimpleMutex() {
    destroy_mutex(handle);
}

Mutex::Mutex() : MutexInterface(take_pooled_mutex()) {}

Mutex::~Mutex() {
    // Handed back as it is: neither unlocked nor re-initialised.
    ScopedLock hold(pool_lock(), true);
    mutex_pool().mutexes.push_back(handle);
}

unsigned long pooled_mutex_count() {
    ScopedLock hold(pool_lock(), true);
    return mutex_pool().mutexes.size();
}

}  // namespace kel
