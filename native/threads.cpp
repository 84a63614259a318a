// native/threads.cpp: the stand-in's threads over pthreads; it keeps every thread it started
// so that a test can wait for all of them.
#include <windows.h>

#include "shim.h"

#include <pthread.h>

#include <mutex>
#include <set>
#include <vector>

namespace {

// What a new thread runs.
struct Start {
    LPTHREAD_START_ROUTINE routine;
    LPVOID parameter;
};

// Thread handles come from a range of their own, far above the file handles.
const uintptr_t kFirstThreadHandle = 0x10000000;

std::mutex g_threadsLock;                  // guards everything below; any thread
std::vector<pthread_t> g_unjoined;         // started and not yet joined; CreateThread adds
std::set<uintptr_t> g_threadHandles;       // open thread handles
uintptr_t g_nextThreadHandle = kFirstThreadHandle;
DWORD g_nextThreadId = 1;
bool g_failNextCreate;                     // ShimFailNextCreateThread

void *RunThread(void *argument)
{
    const Start start = *(Start *)argument;
    delete (Start *)argument;
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
    if (g_failNextCreate) {
        g_failNextCreate = false;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    pthread_t thread;
    Start *argument = new Start{start, parameter};
    if (pthread_create(&thread, nullptr, RunThread, argument) != 0) {
        delete argument;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    g_unjoined.push_back(thread);
    const uintptr_t handle = g_nextThreadHandle;
    g_nextThreadHandle += 4;
    g_threadHandles.insert(handle);
    if (threadId)
        *threadId = g_nextThreadId;
    g_nextThreadId++;
    return (HANDLE)handle;
}

BOOL ShimCloseThreadHandle(HANDLE handle)
{
    std::lock_guard<std::mutex> lock(g_threadsLock);
    return g_threadHandles.erase((uintptr_t)handle) ? TRUE : FALSE;
}

void ShimFailNextCreateThread(BOOL fail)
{
    std::lock_guard<std::mutex> lock(g_threadsLock);
    g_failNextCreate = fail != FALSE;
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
            threads.swap(g_unjoined);
        }
        if (threads.empty())
            return;
        for (pthread_t thread : threads)
            pthread_join(thread, nullptr);
    }
}
