#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

// A small wrapper around one worker thread: the build thread of a Landscape.
//
// Stopping is a protocol: the owner clears its own run flag (the thread body polls it), then
// calls join(), which waits for the thread to end, whether or not it has started running its
// body yet. An ended thread is joined before a new one is started and by the destructor.
// Thread: start, join and the destructor are called by the owning (render) thread only.
class Thread
{
public:
    // Start record handed to the new thread, which owns it until its body returns.
    class ThreadData
    {
    public:
        virtual void run() = 0;
        virtual ~ThreadData() = default;
        Thread* thread = nullptr; // set by start
    };

    // Runs a member function taking and returning nothing.
    template <class T>
    class ThreadDataM : public ThreadData
    {
    public:
        ThreadDataM(T* object_, void (T::*method_)()) : object(object_), method(method_) {}
        void run() override { (object->*method)(); }
        T* object;
        void (T::*method)();
    };

    Thread() = default;
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;
    // Prints "Warning: Thread still running" when the body is still running, then waits for it:
    // a thread left running would use its owner after the owner is gone.
    ~Thread();

    // Starts object->method() on a new thread. Returns false, creating nothing, while a thread
    // of an earlier start has not ended (whether or not its body has begun).
    template <class T>
    bool start(T* object, void (T::*method)())
    {
        if (running || isAlive())
            return false;
        return start(std::make_unique<ThreadDataM<T>>(object, method));
    }

    // Starts data->run() on a new thread. Returns false (printing "Failed to create thread")
    // when the thread cannot be created or an earlier one is alive.
    bool start(std::unique_ptr<ThreadData> data);

    // Waits until the thread has ended, including a thread that has been created but has not
    // yet set running. Returns at once when there is no thread.
    void join();

    // Names the calling thread (the name shows in debuggers and tools such as top -H).
    // Called from the thread body itself. Names longer than 15 characters are cut.
    void setName(const char* name);

    bool isRunning() const { return running; }
    // True from start until the thread has finished (a created thread that has not yet set
    // running counts as alive).
    bool isAlive() const { return handle.joinable() && !ended; }

    // Set by the new thread just before its body runs, cleared just after.
    std::atomic<bool> running{false};
    // Puts the calling thread (only it: Linux keeps a nice value per thread) steps nice steps
    // lower, no lower than the lowest. Lowering needs no privilege, but it cannot be undone
    // without one; when it fails, the thread keeps its priority.
    static void lowerCallingThread(int steps);
    // Makes the calling thread a batch thread, which keeps its share of the processor but does
    // not preempt the thread that wakes it. Needs no privilege; when it fails, nothing changes.
    static void yieldToWaker();

private:
    static void entry(std::unique_ptr<ThreadData> data);

    std::thread handle;            // owner thread only
    std::atomic<bool> ended{true}; // set by the thread as the very last thing it does
};

// Holds a lock for a scope. Blocking: always holds it. Non-blocking: holds it only when it was
// free (or already held by this thread: the locks are recursive); check locked().
template <class Mutex>
class ScopedLock
{
public:
    explicit ScopedLock(Mutex& mutex_, bool blocking = true) : mutex(&mutex_)
    {
        if (blocking)
        {
            mutex->lock();
            isLocked = true;
        }
        else
        {
            isLocked = mutex->try_lock();
        }
    }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;
    ~ScopedLock()
    {
        if (isLocked)
            mutex->unlock();
    }
    bool locked() const { return isLocked; }

private:
    Mutex* mutex;
    bool isLocked = false;
};

// The Landscape's critical sections: recursive, because the render thread may enter a section
// it already holds (a visitor that triggers a try-lock of the same section).
using CriticalSection = std::recursive_mutex;
using Lock = ScopedLock<CriticalSection>;
