// Worker threads, their cancellation tokens and the group that waits for them.
#pragma once
#include <pthread.h>

#include <cstdint>
#include <list>
#include <set>

namespace ovra {

// A pthread object that remembers whether it was initialised, and is
// destroyed only then.
template <typename T, auto init, auto destroy>
class PThreadObject {
public:
    PThreadObject() : ok(init(&object, nullptr) == 0) {}
    ~PThreadObject()
    {
        if (ok)
            destroy(&object);
    }
    PThreadObject(const PThreadObject&) = delete;
    PThreadObject& operator=(const PThreadObject&) = delete;
    T* get() { return &object; }

private:
    T object;
    bool ok;
};

using Mutex = PThreadObject<pthread_mutex_t, pthread_mutex_init, pthread_mutex_destroy>;
using Condition = PThreadObject<pthread_cond_t, pthread_cond_init, pthread_cond_destroy>;

// Holds a mutex for the lifetime of the scope.
class pthread_mutex_auto {
public:
    explicit pthread_mutex_auto(pthread_mutex_t* m) : mutex(m) { pthread_mutex_lock(mutex); }
    explicit pthread_mutex_auto(Mutex& m) : pthread_mutex_auto(m.get()) {}
    ~pthread_mutex_auto() { pthread_mutex_unlock(mutex); }
    pthread_mutex_auto(const pthread_mutex_auto&) = delete;
    pthread_mutex_auto& operator=(const pthread_mutex_auto&) = delete;

private:
    pthread_mutex_t* mutex;
};

// The cancellation token a worker polls between its steps.
class Canceler {
public:
    virtual ~Canceler() = default;
    virtual void cancel() = 0;
    virtual bool iscancelled() = 0;
    // The condition is broadcast when the token is cancelled; not owned.
    virtual void addcond(pthread_cond_t* condition) = 0;
    // True when cancelled within the given whole seconds, false on time-out.
    virtual bool timedwait(int seconds) = 0;
};

class Canceler_normal : public Canceler {
public:
    void cancel() override;
    bool iscancelled() override;
    void addcond(pthread_cond_t* condition) override;
    bool timedwait(int seconds) override;

private:
    Mutex eventMutex;
    int32_t cancelCount = 0;
    Condition eventCondition;
    std::list<pthread_cond_t*> conditions;
    Mutex listMutex;
};

// Sets the thread's policy and a priority at fraction of the policy's range.
int setthreadpriority(int policy, double fraction, pthread_t thread);

} // namespace ovra

// Starts detached workers, counts them, cancels them all and waits for them.
class ThreadGroup {
public:
    // argument points to 16 bytes copied at once; the function gets a pointer
    // to that copy and the thread's own token.
    using Function = void (*)(void* argument, ovra::Canceler& canceler);
    static constexpr int ARGUMENT_BYTES = 16;

    ThreadGroup() = default;
    ~ThreadGroup();
    ThreadGroup(const ThreadGroup&) = delete;
    ThreadGroup& operator=(const ThreadGroup&) = delete;

    // 0 when the thread was started, -1 otherwise. policy -1 / priority -1.0: default.
    int startthread(Function function, const void* argument, int policy = -1, double priority = -1.0);
    void cancelall();
    void waitall();
    // Number of threads started and not yet ended.
    int32_t runningcount();

private:
    struct StartRecord;
    static void* threadbody(void* record);

    ovra::Mutex mutex;
    std::set<ovra::Canceler*> cancelers;
    int32_t running = 0;
    ovra::Condition doneCondition;
};
