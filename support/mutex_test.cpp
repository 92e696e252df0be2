// The recursive locks, the reuse order of the mutex pool, and the thread handle.
#include "mutex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "thread.h"

namespace {

TEST(Mutex, DestroyedMutexesAreReusedFirstGivenBackFirst) {
    pthread_mutex_t* first;
    pthread_mutex_t* second;
    {
        kel::Mutex a, b;
        first = a.native_handle();
        second = b.native_handle();
    }  // b is given back before a
    kel::Mutex reused_first;
    kel::Mutex reused_second;
    EXPECT_EQ(reused_first.native_handle(), second);
    EXPECT_EQ(reused_second.native_handle(), first);
}

// Whether another thread could take the lock right now.
bool free_for_another_thread(kel::MutexInterface& lock) {
    bool taken = false;
    std::thread other([&] {
        taken = pthread_mutex_trylock(lock.native_handle()) == 0;
        if (taken) {
            pthread_mutex_unlock(lock.native_handle());
        }
    });
    other.join();
    return taken;
}

TEST(Mutex, BothKindsAreTakenTwiceAndMustBeReleasedTwice) {
    kel::Mutex pooled;
    kel::SimpleMutex simple;
    for (kel::MutexInterface* lock :
         {static_cast<kel::MutexInterface*>(&pooled), static_cast<kel::MutexInterface*>(&simple)}) {
        lock->lock();
        lock->lock();
        lock->unlock();
        EXPECT_FALSE(free_for_another_thread(*lock));
        lock->unlock();
        EXPECT_TRUE(free_for_another_thread(*lock));
    }
}

void* raise_flag(void* flag) {
    static_cast<std::atomic<bool>*>(flag)->store(true);
    return nullptr;
}

TEST(Thread, DroppedHandleLeavesTheDetachedThreadRunning) {
    static std::atomic<bool> ran{false};
    {
        kel::Thread thread(&raise_flag, &ran, true);
        EXPECT_TRUE(thread.started());
    }
    for (int i = 0; i < 500 && !ran; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_TRUE(ran);
}

}  // namespace
