#include "support/Thread.h"

#include "support/Diagnostics.h"

#include <cassert>
#include <cstring>
#include <pthread.h>

Thread::~Thread()
{
    if (running)
        printDiagnostic("Warning: Thread still running\n");
    join();
}

bool Thread::start(ThreadData* data)
{
    if (isAlive())
    {
        delete data;
        return false;
    }
    // An earlier thread that has ended still has to be joined before its handle is reused.
    if (handle.joinable())
        handle.join();
    data->thread = this;
    ended = false;
    try
    {
        handle = std::thread(&Thread::entry, data);
    }
    catch (const std::system_error&)
    {
        ended = true;
        printDiagnostic("Failed to create thread\n");
        delete data;
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

/* runs on the new thread */
void Thread::entry(ThreadData* data)
{
    Thread* thread = data->thread;
    thread->running = true;
    data->run();
    thread->running = false;
    delete data;
    thread->ended = true;
}
