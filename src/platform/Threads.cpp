#include "platform/Threads.h"

#include <sched.h>
#include <sys/time.h>

#include <cstring>
#include <memory>

namespace ovra {

void Canceler_normal::cancel()
{
    {
        pthread_mutex_auto lock(eventMutex);
        ++cancelCount;
        pthread_cond_signal(eventCondition.get());
    }
    pthread_mutex_auto lock(listMutex);
    for (pthread_cond_t* c : conditions)
        pthread_cond_broadcast(c);
}

bool Canceler_normal::iscancelled()
{
    pthread_mutex_auto lock(eventMutex);
    return cancelCount != 0;
}

void Canceler_normal::addcond(pthread_cond_t* condition)
{
    pthread_mutex_auto lock(listMutex);
    conditions.push_back(condition);
}

bool Canceler_normal::timedwait(int seconds)
{
    struct timeval now;
    gettimeofday(&now, nullptr);
    struct timespec deadline;
    deadline.tv_sec = now.tv_sec + seconds;
    deadline.tv_nsec = now.tv_usec * 1000L;
    pthread_mutex_auto lock(eventMutex);
    for (;;) {
        if (cancelCount != 0)
            return true;
        if (pthread_cond_timedwait(eventCondition.get(), eventMutex.get(), &deadline) != 0)
            return false;
    }
}

int setthreadpriority(int policy, double fraction, pthread_t thread)
{
    int lo = sched_get_priority_min(policy);
    int hi = sched_get_priority_max(policy);
    struct sched_param param;
    std::memset(&param, 0, sizeof param);
    param.sched_priority = static_cast<int>(static_cast<float>(hi - lo) * fraction + static_cast<float>(lo));
    return pthread_setschedparam(thread, policy, &param);
}

} // namespace ovra

struct ThreadGroup::StartRecord {
    ThreadGroup* group;
    Function function;
    unsigned char argument[ARGUMENT_BYTES];
};

ThreadGroup::~ThreadGroup()
{
    cancelall();
    waitall();
}

int ThreadGroup::startthread(Function function, const void* argument, int policy, double priority)
{
    auto record = std::make_unique<StartRecord>();
    record->group = this;
    record->function = function;
    std::memcpy(record->argument, argument, ARGUMENT_BYTES);
    pthread_t thread;
    if (pthread_create(&thread, nullptr, &ThreadGroup::threadbody, record.get()) != 0)
        return -1;
    record.release(); // the thread owns it now
    if (policy >= 0 && priority >= 0.0)
        ovra::setthreadpriority(policy, priority, thread);
    pthread_detach(thread);
    ovra::pthread_mutex_auto lock(mutex);
    ++running;
    return 0;
}

void* ThreadGroup::threadbody(void* arg)
{
    std::unique_ptr<StartRecord> record(static_cast<StartRecord*>(arg));
    ThreadGroup* group = record->group;
    ovra::Canceler_normal canceler;
    {
        ovra::pthread_mutex_auto lock(group->mutex);
        group->cancelers.insert(&canceler);
    }
    record->function(record->argument, canceler);
    {
        // The starter may not have counted this thread yet: running then
        // drops to -1 and comes back to 0 when it does.
        ovra::pthread_mutex_auto lock(group->mutex);
        group->cancelers.erase(&canceler);
        int32_t before = group->running--;
        if (before < 2)
            pthread_cond_broadcast(group->doneCondition.get());
    }
    return nullptr;
}

void ThreadGroup::cancelall()
{
    ovra::pthread_mutex_auto lock(mutex);
    for (ovra::Canceler* c : cancelers)
        c->cancel();
}

void ThreadGroup::waitall()
{
    ovra::pthread_mutex_auto lock(mutex);
    while (running > 0)
        pthread_cond_wait(doneCondition.get(), mutex.get());
}

int32_t ThreadGroup::runningcount()
{
    ovra::pthread_mutex_auto lock(mutex);
    return running;
}
