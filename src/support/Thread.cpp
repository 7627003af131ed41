#include "support/Thread.h"

#include "support/Diagnostics.h"

#include <sched.h>
#include <sys/resource.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstring>
#include <pthread.h>

Thread::~Thread()
{
    if (running)
        printDiagnostic("Warning: Thread still running\n");
    join();
}

bool Thread::start(std::unique_ptr<ThreadData> data)
{
    if (isAlive())
        return false;
    // An earlier thread that has ended still has to be joined before its handle is reused.
    if (handle.joinable())
        handle.join();
    data->thread = this;
    ended = false;
    try
    {
        handle = std::thread(&Thread::entry, std::move(data));
    }
    catch (const std::system_error&)
    {
        ended = true;
        printDiagnostic("Failed to create thread\n");
        return false;
    }
    // priority 0 keeps the platform default; no other value is used.
    return true;
}

void Thread::join()
{
    if (handle.joinable())
        handle.join();
    assert(!running);
}

void Thread::setName(const char* name)
{
    char shortName[16];
    std::strncpy(shortName, name, sizeof shortName - 1);
    shortName[sizeof shortName - 1] = '\0';
    pthread_setname_np(pthread_self(), shortName);
}

void Thread::lowerCallingThread(int steps)
{
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, 0);
    if (errno == 0)
        setpriority(PRIO_PROCESS, 0, std::min(nice + steps, 19));
}

void Thread::yieldToWaker()
{
    // The scheduler puts a woken thread on the waker's core and lets it preempt the waker, which
    // is then left waiting there for the length of a patch build: it is not moved to an idle
    // core, as it counts as cache-hot. A batch thread never preempts the thread that wakes it.
    // Only a thread of the default policy is made batch; a host's real-time or idle thread
    // keeps its own.
    sched_param none{};
    if (sched_getscheduler(0) == SCHED_OTHER)
        pthread_setschedparam(pthread_self(), SCHED_BATCH, &none);
}

/* runs on the new thread */
void Thread::entry(std::unique_ptr<ThreadData> data)
{
    Thread* thread = data->thread;
    thread->running = true;
    data->run();
    thread->running = false;
    data.reset();
    thread->ended = true;
}
