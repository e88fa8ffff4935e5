#include "platform/Thread.h"

#include "platform/CrashHandler.h"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <deque>
#include <memory>
#include <mutex>
#include <semaphore>
#include <unordered_map>

namespace {

class CThreadObject final : public CKernelObject {
public:
    explicit CThreadObject(CEvent* end) : m_pEnd(end) {}
    int PollFd() const override { return m_pEnd->PollFd(); }
    // The end event's acquire: what the thread wrote before it ended is
    // visible to whoever saw it end.
    bool TryAcquire() override { return m_pEnd->TryAcquire(); }

    CEvent* m_pEnd;
    std::atomic<DWORD> m_nExitCode{STILL_ACTIVE};

private:
    ~CThreadObject() override { CloseHandle(m_pEnd); }
};

struct StartInfo {
    LPTHREAD_START_ROUTINE proc;
    void* arg;
    CThreadObject* object;
    DWORD threadId;
    std::binary_semaphore started{0};
};

class CMessageQueue {
public:
    CMessageQueue() : m_pInput(CEvent::Create(true, false)) {}
    ~CMessageQueue() { CloseHandle(m_pInput); }

    void Post(const MSG& msg) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_queue.push_back(msg);
        m_pInput->Set();
    }

    bool Peek(MSG* msg, bool remove) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_queue.empty()) {
            m_pInput->Reset();
            return false;
        }
        if (msg != nullptr) *msg = m_queue.front();
        if (remove) m_queue.pop_front();
        if (m_queue.empty()) m_pInput->Reset();
        return true;
    }

    CEvent* Input() const { return m_pInput; }

private:
    std::mutex m_mutex;
    std::deque<MSG> m_queue;
    CEvent* m_pInput;
};

std::mutex g_queueMutex;
std::unordered_map<DWORD, std::shared_ptr<CMessageQueue>>* g_queues =
    new std::unordered_map<DWORD, std::shared_ptr<CMessageQueue>>();  // never freed: threads may post at exit
// The calling thread's queue. Its registration is dropped when the thread
// ends, however the thread was started, so that posting to an ended thread
// (or to a later thread that got the same id but never peeked) fails.
struct QueueSlot {
    std::shared_ptr<CMessageQueue> queue;

    ~QueueSlot() { Drop(); }

    void Drop() {
        if (!queue) return;
        {
            std::lock_guard<std::mutex> lock(g_queueMutex);
            auto it = g_queues->find(GetCurrentThreadId());
            if (it != g_queues->end() && it->second == queue) g_queues->erase(it);
        }
        queue.reset();
    }
};

thread_local QueueSlot t_queue;

CMessageQueue& OwnQueue() {
    if (!t_queue.queue) {
        t_queue.queue = std::make_shared<CMessageQueue>();
        std::lock_guard<std::mutex> lock(g_queueMutex);
        (*g_queues)[GetCurrentThreadId()] = t_queue.queue;
    }
    return *t_queue.queue;
}

void DropOwnQueue() { t_queue.Drop(); }

// The calling thread's own thread object. Threads started by CreateThread
// point at theirs; any other thread (the main thread, std::thread) gets one on
// first use, signalled when the thread ends.
thread_local CThreadObject* t_self = nullptr;

struct ForeignThreadSlot {
    CThreadObject* object = nullptr;
    ~ForeignThreadSlot() {
        if (object == nullptr) return;
        object->m_nExitCode.store(0);
        object->m_pEnd->Set();
        object->Release();
    }
};

thread_local ForeignThreadSlot t_foreign;

void* ThreadMain(void* param) {
    InstallCrashAltStack();  // a stack overflow in this thread is still reported
    auto* info = static_cast<StartInfo*>(param);
    LPTHREAD_START_ROUTINE proc = info->proc;
    void* arg = info->arg;
    CThreadObject* object = info->object;
    info->threadId = GetCurrentThreadId();
    t_self = object;
    info->started.release();  // info is gone after this

    DWORD code = proc(arg);

    DropOwnQueue();
    object->m_nExitCode.store(code);
    object->m_pEnd->Set();
    object->Release();
    return nullptr;
}

}  // namespace

HANDLE CreateThread(LPTHREAD_START_ROUTINE proc, void* arg, DWORD* threadId) {
    if (proc == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    CEvent* end = CEvent::Create(true, false);
    if (end == nullptr) return nullptr;
    auto* object = new CThreadObject(end);
    object->AddRef();  // the thread's own reference

    StartInfo info{proc, arg, object, 0};
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    int rc = pthread_create(&thread, &attr, ThreadMain, &info);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        object->Release();
        object->Release();
        SetLastError(MapErrno(rc));
        return nullptr;
    }
    info.started.acquire();
    if (threadId != nullptr) *threadId = info.threadId;
    return object;
}

HANDLE OpenCurrentThreadHandle() {
    CThreadObject* self = t_self;
    if (self == nullptr) {
        if (t_foreign.object == nullptr) {
            CEvent* end = CEvent::Create(true, false);
            if (end == nullptr) return nullptr;
            t_foreign.object = new CThreadObject(end);
        }
        self = t_foreign.object;
    }
    self->AddRef();
    return self;
}

bool GetExitCodeThread(HANDLE thread, DWORD* exitCode) {
    auto* object = dynamic_cast<CThreadObject*>(thread);
    if (object == nullptr || exitCode == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    *exitCode = object->m_nExitCode.load();
    return true;
}

DWORD GetCurrentThreadId() { return static_cast<DWORD>(gettid()); }

bool PostThreadMessage(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam) {
    std::shared_ptr<CMessageQueue> queue;
    {
        std::lock_guard<std::mutex> lock(g_queueMutex);
        auto it = g_queues->find(threadId);
        if (it != g_queues->end()) queue = it->second;
    }
    if (!queue) {
        SetLastError(ERROR_INVALID_THREAD_ID);
        return false;
    }
    queue->Post(MSG{message, wParam, lParam});
    return true;
}

bool PeekMessage(MSG* msg, UINT removeFlag) { return OwnQueue().Peek(msg, (removeFlag & PM_REMOVE) != 0); }

bool GetMessage(MSG* msg) {
    CMessageQueue& queue = OwnQueue();
    MSG local{};
    MSG* out = msg != nullptr ? msg : &local;
    while (!queue.Peek(out, true)) {
        HANDLE input = queue.Input();
        WaitForSingleObject(input, INFINITE);
    }
    return out->message != WM_QUIT;
}

HANDLE GetMessageQueueEvent() { return OwnQueue().Input(); }

DWORD MsgWaitForMultipleObjects(DWORD count, const HANDLE* handles, DWORD timeoutMs) {
    if (count >= MAXIMUM_WAIT_OBJECTS || (count > 0 && handles == nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    HANDLE all[MAXIMUM_WAIT_OBJECTS];
    for (DWORD i = 0; i < count; ++i) all[i] = handles[i];
    all[count] = GetMessageQueueEvent();
    return WaitForMultipleObjects(count + 1, all, false, timeoutMs);
}
