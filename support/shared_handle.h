// Shared-ownership handles. All handles of one object form a circular doubly linked
// ring instead of sharing a counter; the last handle to leave the ring releases the
// object. ptr<T> is for objects one thread uses at a time; thread_safe_ptr<T> keeps
// its ring under one recursive lock per pointee type, so copies of one handle may be
// made and dropped on several threads at once. Neither locks the object itself.
#pragma once

#include "mutex.h"

template <typename T>
class ptr_interface {
  public:
    using release_routine = void (*)(T*);

    virtual ~ptr_interface() = default;

    // True when no other handle shares the object.
    virtual bool is_unique() const { return prev == nullptr || prev == this; }
    virtual bool is_null() const { return object == nullptr; }

    T* get() const { return object; }
    T& operator*() const { return *object; }
    T* operator->() const { return object; }

  protected:
    // Both variants implement it as doing nothing; it keeps the interface abstract.
    virtual void hook() = 0;

    ptr_interface() = default;
    explicit ptr_interface(T* pointer) : object(pointer), prev(this), next(this) {}

    void join_ring_of(const ptr_interface& source) {
        object = source.object;
        release = source.release;
        if (object == nullptr) {
            prev = next = nullptr;
            return;
        }
        ptr_interface& origin = const_cast<ptr_interface&>(source);
        next = origin.next;
        next->prev = this;
        prev = &origin;
        origin.next = this;
    }

    void leave_ring() {
        if (object != nullptr) {
            if (prev == nullptr || prev == this) {
                if (release != nullptr) {
                    release(object);
                } else {
                    delete object;
                }
            } else {
                prev->next = next;
                next->prev = prev;
            }
        }
        next = prev = nullptr;
        object = nullptr;
    }

    T* object = nullptr;
    release_routine release = nullptr;
    ptr_interface* prev = nullptr;
    ptr_interface* next = nullptr;
};

// Unlocked handle: all handles of one object must be used by one thread at a time.
template <typename T>
class ptr : public ptr_interface<T> {
  public:
    ptr() = default;
    // Takes ownership of the pointer.
    explicit ptr(T* pointer) : ptr_interface<T>(pointer) {}
    ptr(const ptr& source) : ptr_interface<T>() { this->join_ring_of(source); }
    ptr& operator=(const ptr& source) {
        if (this != &source) {
            this->leave_ring();
            this->join_ring_of(source);
        }
        return *this;
    }
    ~ptr() override { this->leave_ring(); }

  protected:
    void hook() override {}
};

// Locked handle: the ring is changed only under the handle lock of T, which is
// recursive so that releasing an object may drop further handles of the same type.
template <typename T>
class thread_safe_ptr : public ptr_interface<T> {
  public:
    thread_safe_ptr() = default;
    // Takes ownership of the pointer. No lock: no other handle can see this one yet.
    explicit thread_safe_ptr(T* pointer) : ptr_interface<T>(pointer) {}
    thread_safe_ptr(const thread_safe_ptr& source) : ptr_interface<T>() {
        ScopedLock hold(handle_lock(), true);
        this->join_ring_of(source);
    }
    thread_safe_ptr& operator=(const thread_safe_ptr& source) {
        if (this != &source) {
            ScopedLock hold(handle_lock(), true);
            this->leave_ring();
            this->join_ring_of(source);
        }
        return *this;
    }
    ~thread_safe_ptr() override {
        ScopedLock hold(handle_lock(), true);
        this->leave_ring();
    }

    bool is_unique() const override {
        ScopedLock hold(handle_lock(), true);
        return ptr_interface<T>::is_unique();
    }
    bool is_null() const override {
        ScopedLock hold(handle_lock(), true);
        return ptr_interface<T>::is_null();
    }

  protected:
    void hook() override {}

  private:
    // Never destroyed: a handle with static storage made before the first use of
    // the lock would otherwise outlive it at exit.
    static kel::SimpleMutex& handle_lock() {
        static kel::SimpleMutex* lock = new kel::SimpleMutex;
        return *lock;
    }
};
