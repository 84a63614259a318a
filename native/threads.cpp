// native/threads.cpp: the stand-in's threads over pthreads; it keeps every thread it started
// so that a test can wait for all of them.
#include <windows.h>

#include "shim.h"
#include "shim_internal.h"

#include <pthread.h>

#include <atomic>
#include <mutex>
#include <vector>

namespace {

// What a new thread runs.
struct Start {
    LPTHREAD_START_ROUTINE routine;
    LPVOID parameter;
};

// Room kept for this many threads and handles, so that starting a thread does not
// allocate; more still work (the lists grow, the start records come from the heap).
const size_t kReservedThreads = 64;

// Start records handed to new threads without allocating: a slot is taken by
// CreateThread and given back by the thread once it has copied its record.
Start g_startSlots[kReservedThreads];
std::atomic<bool> g_startSlotBusy[kReservedThreads];

std::mutex g_threadsLock;                  // guards everything below; any thread
std::vector<pthread_t> g_unjoined;         // started and not yet joined; CreateThread adds
std::vector<uintptr_t> g_threadHandles;    // open thread handles, few
uintptr_t g_nextThreadHandle = kShimFirstThreadHandle;
DWORD g_nextThreadId = 1;

// A free start slot, or NULL when all are taken. Called under g_threadsLock.
Start *TakeStartSlot()
{
    for (size_t i = 0; i < kReservedThreads; i++)
        if (!g_startSlotBusy[i].load(std::memory_order_acquire)) {
            g_startSlotBusy[i].store(true, std::memory_order_relaxed);
            return &g_startSlots[i];
        }
    return nullptr;
}

void GiveBackStart(Start *start)
{
    if (start >= g_startSlots && start < g_startSlots + kReservedThreads)
        g_startSlotBusy[start - g_startSlots].store(false, std::memory_order_release);
    else
        delete start;
}

void ReserveLocked()
{
    if (g_unjoined.capacity() < kReservedThreads)
        g_unjoined.reserve(kReservedThreads);
    if (g_threadHandles.capacity() < kReservedThreads)
        g_threadHandles.reserve(kReservedThreads);
}

void *RunThread(void *argument)
{
    const Start start = *(Start *)argument;
    GiveBackStart((Start *)argument);
    start.routine(start.parameter); // the thread's exit code is not modelled
    return nullptr;
}

} // namespace

// Models starting a thread at once (no suspended start); the handle is distinct and non-null.
HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, size_t, LPTHREAD_START_ROUTINE start, LPVOID parameter,
                           DWORD flags, LPDWORD threadId)
{
    if (flags != 0)
        ShimRefuse("CreateThread", "creation flags");
    std::lock_guard<std::mutex> lock(g_threadsLock);
    if (ShimFaultOnCreateThread()) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    ReserveLocked();
    pthread_t thread;
    Start *argument = TakeStartSlot();
    if (argument)
        *argument = Start{start, parameter};
    else
        argument = new Start{start, parameter};
    if (pthread_create(&thread, nullptr, RunThread, argument) != 0) {
        GiveBackStart(argument);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    g_unjoined.push_back(thread);
    const uintptr_t handle = g_nextThreadHandle;
    g_nextThreadHandle += 4;
    g_threadHandles.push_back(handle);
    if (threadId)
        *threadId = g_nextThreadId;
    g_nextThreadId++;
    return (HANDLE)handle;
}

BOOL ShimCloseThreadHandle(HANDLE handle)
{
    std::lock_guard<std::mutex> lock(g_threadsLock);
    for (uintptr_t &open : g_threadHandles)
        if (open == (uintptr_t)handle) {
            open = g_threadHandles.back();
            g_threadHandles.pop_back();
            return TRUE;
        }
    return FALSE;
}

void ShimReserveThreads(void)
{
    std::lock_guard<std::mutex> lock(g_threadsLock);
    ReserveLocked();
}

void ShimJoinThreads(void)
{
    for (;;) {
        std::vector<pthread_t> threads;
        {
            std::lock_guard<std::mutex> lock(g_threadsLock);
            for (pthread_t thread : g_unjoined)
                if (pthread_equal(thread, pthread_self()))
                    ShimRefuse("ShimJoinThreads", "waiting from a thread it would wait for");
            // Copied, not swapped: the list keeps its reserved room for the next threads.
            threads = g_unjoined;
            g_unjoined.clear();
        }
        if (threads.empty())
            return;
        for (pthread_t thread : threads)
            pthread_join(thread, nullptr);
    }
}
