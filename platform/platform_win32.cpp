// The Windows services themselves.
#include "platform/platform.h"

#include <windows.h>

#include <atomic>
#include <mmsystem.h>
#include <tlhelp32.h>

#include <cstring>
#include <new>

namespace plat {

const char kPathSeparator = '\\';

static_assert(sizeof(CRITICAL_SECTION) <= 64, "critical section storage too small");

// A slim reader/writer lock taken exclusively: not re-entrant, as on POSIX,
// and nothing to delete.
CriticalSection::CriticalSection() { InitializeSRWLock(reinterpret_cast<SRWLOCK *>(m_storage)); }
CriticalSection::~CriticalSection() = default;
void CriticalSection::enter() { AcquireSRWLockExclusive(reinterpret_cast<SRWLOCK *>(m_storage)); }
void CriticalSection::leave() { ReleaseSRWLockExclusive(reinterpret_cast<SRWLOCK *>(m_storage)); }

static HANDLE &EventHandle(unsigned char *storage) { return *reinterpret_cast<HANDLE *>(storage); }

Event::Event() { EventHandle(m_storage) = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
Event::~Event() {
    if (EventHandle(m_storage)) CloseHandle(EventHandle(m_storage));
}
void Event::set() { SetEvent(EventHandle(m_storage)); }
void Event::reset() { ResetEvent(EventHandle(m_storage)); }
bool Event::wait(uint32_t timeoutMs) { return WaitForSingleObject(EventHandle(m_storage), timeoutMs) == WAIT_OBJECT_0; }

void *CopyDriverSignal(void *driverHandle) {
    HANDLE copy = nullptr;
    if (!driverHandle || !DuplicateHandle(GetCurrentProcess(), static_cast<HANDLE>(driverHandle), GetCurrentProcess(),
                                          &copy, 0, FALSE, DUPLICATE_SAME_ACCESS))
        return nullptr;
    return copy;
}

void CloseDriverSignal(void *signal) {
    if (signal) CloseHandle(static_cast<HANDLE>(signal));
}

// The two handles are waited for together, by the millisecond (the worker
// holds the 1 ms timer resolution) up to the last stretch before the
// deadline, which is waited out looking at them without blocking, yielding
// and at the very end spinning, as SleepUntilUs does.
WakeReason WaitForWork(Event &wake, void *driverSignal, uint64_t deadlineUs) {
    constexpr uint64_t kTickMarginUs = 1500;
    constexpr uint64_t kSpinUs = 200;
    HANDLE handles[2] = {EventHandle(wake.m_storage), static_cast<HANDLE>(driverSignal)};
    const DWORD count = driverSignal ? 2 : 1;
    for (;;) {
        DWORD timeoutMs = INFINITE;
        uint64_t left = 0;
        if (deadlineUs != 0) {
            const uint64_t now = NowUs();
            if (now >= deadlineUs) return WakeReason::Deadline;
            left = deadlineUs - now;
            timeoutMs = left > kTickMarginUs ? static_cast<DWORD>((left - kTickMarginUs) / 1000u + 1u) : 0;
        }
        const DWORD result = WaitForMultipleObjects(count, handles, FALSE, timeoutMs);
        if (result == WAIT_OBJECT_0 + 1) return WakeReason::Driver;
        if (result == WAIT_OBJECT_0) return WakeReason::Woken;
        if (result == WAIT_FAILED) {
            // A handle gone bad: the event alone, by the millisecond.
            if (WaitForSingleObject(handles[0], 1) == WAIT_OBJECT_0) return WakeReason::Woken;
            continue;
        }
        if (timeoutMs == 0) {
            if (left > kSpinUs)
                SwitchToThread();
            else
                YieldProcessor();
        }
    }
}

uint32_t CurrentThreadId() { return GetCurrentThreadId(); }

void ThreadSlot::create() {
    if (m_created) return;
    const DWORD index = TlsAlloc();
    if (index == TLS_OUT_OF_INDEXES) return;
    m_index = index;
    m_created = true;
}

void ThreadSlot::destroy() {
    if (!m_created) return;
    m_created = false;
    TlsFree(static_cast<DWORD>(m_index));
}

uintptr_t ThreadSlot::get() const {
    return m_created ? reinterpret_cast<uintptr_t>(TlsGetValue(static_cast<DWORD>(m_index))) : 0;
}

void ThreadSlot::set(uintptr_t value) const {
    if (m_created) TlsSetValue(static_cast<DWORD>(m_index), reinterpret_cast<void *>(value));
}

// GetCurrentThreadId needs no cache.
void BeginThreadValues() {}
void EndThreadValues() {}

uint64_t PerfCounter() {
    LARGE_INTEGER v;
    QueryPerformanceCounter(&v);
    return static_cast<uint64_t>(v.QuadPart);
}

uint64_t PerfFrequency() {
    LARGE_INTEGER v;
    QueryPerformanceFrequency(&v);
    return static_cast<uint64_t>(v.QuadPart);
}

uint32_t TickCount() { return GetTickCount(); }

uint64_t ProcessCpuTimeUs() {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
    auto us = [](const FILETIME &t) {  // 100 ns units
        return ((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 10u;
    };
    return us(kernel) + us(user);
}

void SleepMs(uint32_t ms) { Sleep(ms); }

CalendarTime LocalCalendarTime() {
    SYSTEMTIME t;
    GetLocalTime(&t);
    return CalendarTime{t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond};
}

uint64_t NowUs() {
    const uint64_t counter = PerfCounter(), frequency = PerfFrequency();
    return counter / frequency * 1000000u + counter % frequency * 1000000u / frequency;
}

// Sleep() ends on a scheduler tick, so only the part beyond the next tick is
// slept; the rest is waited out yielding the processor, and the last stretch,
// which a yield could overshoot, spinning.
void SleepUntilUs(uint64_t deadlineUs) {
    constexpr uint64_t kTickMarginUs = 1500;
    constexpr uint64_t kSpinUs = 200;
    for (uint64_t now = NowUs(); now < deadlineUs; now = NowUs()) {
        if (deadlineUs - now > kTickMarginUs)
            Sleep(1);
        else if (deadlineUs - now > kSpinUs)
            SwitchToThread();
        else
            YieldProcessor();
    }
}

// Without this a Sleep(1) lasts a whole scheduler tick of 15.6 ms.
void BeginTimerResolution() { timeBeginPeriod(1); }
void EndTimerResolution() { timeEndPeriod(1); }

namespace {
struct MetronomeState {
    HANDLE timer;
    DWORD periodMs;
};
}  // namespace

static_assert(sizeof(MetronomeState) <= 32, "metronome storage too small");

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

// A periodic waitable timer: it signals every period whatever the thread did
// in between, and a period that passed unseen leaves one signal, not many.
Metronome::Metronome(uint32_t periodUs) {
    auto *state = new (m_storage) MetronomeState;
    state->periodMs = periodUs >= 2000 ? periodUs / 1000 : 1;
    state->timer = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
    if (!state->timer) state->timer = CreateWaitableTimerW(nullptr, FALSE, nullptr);
    if (state->timer) {
        LARGE_INTEGER due;
        due.QuadPart = -static_cast<LONGLONG>(periodUs) * 10;  // relative, in 100 ns
        if (!SetWaitableTimer(state->timer, &due, static_cast<LONG>(state->periodMs), nullptr, nullptr, FALSE)) {
            CloseHandle(state->timer);
            state->timer = nullptr;
        }
    }
}

Metronome::~Metronome() {
    auto *state = reinterpret_cast<MetronomeState *>(m_storage);
    if (state->timer) {
        CancelWaitableTimer(state->timer);
        CloseHandle(state->timer);
    }
}

void Metronome::wait() {
    auto *state = reinterpret_cast<MetronomeState *>(m_storage);
    // Without a timer the plain sleep still paces the thread.
    if (!state->timer || WaitForSingleObject(state->timer, 100) == WAIT_FAILED) Sleep(state->periodMs);
}

namespace {
struct ThreadStart {
    ThreadProc proc;
    void *arg;
    std::atomic<bool> underLoaderLock{false};
    // Set by a thread reaped under the loader lock as it parks for good.
    HANDLE parked = nullptr;
};

// The system's own ExitThread as an APC, so that no instruction of ours runs
// in a parked thread once it is woken.
PAPCFUNC ExitThreadApc() { return reinterpret_cast<PAPCFUNC>(reinterpret_cast<void (*)()>(&ExitThread)); }

// A thread reaped under the loader lock cannot be waited for, as ending
// needs that lock. Instead it signals that it is parked and, in the same
// system call, waits alertably on its own process (a wait that cannot end
// while the process lives, on a handle nobody closes): from then on it runs
// none of our code, so the library may go. The reaper's APC ends the thread
// inside that wait; it leaves once the unload has released the loader lock.
DWORD WINAPI ThreadTrampoline(LPVOID p) {
    auto *start = static_cast<ThreadStart *>(p);
    const DWORD result = start->proc(start->arg);
    if (start->underLoaderLock.load()) {
        // The reaper frees the record once the thread is parked.
        SignalObjectAndWait(start->parked, GetCurrentProcess(), INFINITE, TRUE);
        // Only another APC ends the wait early; the reaper's still comes.
        for (;;) SleepEx(INFINITE, TRUE);
    }
    return result;
}
}  // namespace

bool StartThread(ThreadProc proc, void *arg, ThreadHandle *handle, int *errorCode) {
    auto *start = new (std::nothrow) ThreadStart;
    if (!start) {
        *errorCode = ERROR_NOT_ENOUGH_MEMORY;
        handle->native = nullptr;
        handle->open = false;
        return false;
    }
    start->proc = proc;
    start->arg = arg;
    start->parked = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE thread = start->parked ? CreateThread(nullptr, 0, ThreadTrampoline, start, 0, nullptr) : nullptr;
    if (!thread) {
        *errorCode = static_cast<int>(GetLastError());
        if (start->parked) CloseHandle(start->parked);
        delete start;
        handle->native = nullptr;
        handle->open = false;
        return false;
    }
    handle->native = thread;
    handle->control = start;
    handle->open = true;
    return true;
}

void ReapUnderLoaderLock(ThreadHandle *handle) {
    if (handle->open && handle->control) static_cast<ThreadStart *>(handle->control)->underLoaderLock = true;
}

// A thread that signalled its last step is waited for until it has ended.
// Under the loader lock (an unload) its end cannot be waited for: once it is
// parked, an APC ends it (TerminateThread instead would keep its stack for
// good at every unload).
void CloseThread(ThreadHandle *handle, bool finished) {
    constexpr DWORD kThreadEndMs = 2000;
    if (!handle->open) return;
    HANDLE thread = static_cast<HANDLE>(handle->native);
    auto *start = static_cast<ThreadStart *>(handle->control);
    bool ended = false;
    const bool parkedThread = finished && start && start->underLoaderLock.load();
    if (finished) {
        if (parkedThread) {
            ended = WaitForSingleObject(start->parked, kThreadEndMs) == WAIT_OBJECT_0 &&
                    QueueUserAPC(ExitThreadApc(), thread, 0) != 0;
        } else {
            ended = WaitForSingleObject(thread, kThreadEndMs) == WAIT_OBJECT_0;
        }
    }
    CloseHandle(thread);
    // A thread that has ended or parked reads its record no more; one that
    // did neither in time keeps it (a small leak rather than a crash).
    if (ended) {
        // A parked thread's event stays open: the system may repeat the
        // thread's signal-and-wait after an APC, and a closed handle would
        // end that wait with an error, back in code that is gone by then.
        if (!parkedThread) CloseHandle(start->parked);
        delete start;
    }
    handle->control = nullptr;
    handle->open = false;
}

bool LoadedModuleFileName(const char *moduleName, char *buf, std::size_t bufLen) {
    HMODULE module = GetModuleHandleA(moduleName);
    if (!module || bufLen == 0) return false;
    DWORD n = GetModuleFileNameA(module, buf, static_cast<DWORD>(bufLen));
    return n != 0 && n < bufLen;
}

bool ModuleFileNameOf(const void *address, char *buf, std::size_t bufLen) {
    HMODULE module = nullptr;
    if (bufLen == 0 || !GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                               GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                           static_cast<LPCSTR>(address), &module))
        return false;
    DWORD n = GetModuleFileNameA(module, buf, static_cast<DWORD>(bufLen));
    return n != 0 && n < bufLen;
}

bool EnvironmentValue(const char *name, char *buf, std::size_t bufLen) {
    if (bufLen == 0) return false;
    DWORD n = GetEnvironmentVariableA(name, buf, static_cast<DWORD>(bufLen));
    return n != 0 && n < bufLen;
}

// The C runtime's call sets the system's variable too.
void SetEnvironmentValue(const char *name, const char *value) { _putenv_s(name, value ? value : ""); }

bool ExecutableFileName(char *buf, std::size_t bufLen) {
    DWORD n = GetModuleFileNameA(nullptr, buf, static_cast<DWORD>(bufLen));
    return n != 0 && n < bufLen;
}

uint32_t ReadProfileString(const char *section, const char *key, const char *defaultText, char *buf, uint32_t bufLen,
                           const char *fileName) {
    return GetPrivateProfileStringA(section, key, defaultText, buf, bufLen, fileName);
}

void DisableThreadNotifications(void *module) {
    if (module) DisableThreadLibraryCalls(static_cast<HMODULE>(module));
}

void ShowMessageBox(const char *text, const char *title) { MessageBoxA(nullptr, text, title, MB_OK); }

bool FullPathName(const char *path, char *buf, std::size_t bufLen) {
    DWORD n = GetFullPathNameA(path, static_cast<DWORD>(bufLen), buf, nullptr);
    return n != 0 && n < bufLen;
}

bool FileExists(const char *path) { return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }

bool FileIsReadOnly(const char *path) {
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    if (attributes & FILE_ATTRIBUTE_READONLY) return true;
    HANDLE h = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_ACCESS_DENIED;
    CloseHandle(h);
    return false;
}

RenameResult RenameFile(const char *from, const char *to) {
    if (MoveFileA(from, to)) return RenameResult::Ok;
    switch (GetLastError()) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND: return RenameResult::SourceMissing;
        case ERROR_ALREADY_EXISTS:
        case ERROR_FILE_EXISTS: return RenameResult::TargetExists;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION: return RenameResult::AccessDenied;
        default: return RenameResult::Failed;
    }
}

bool RemoveFile(const char *path) { return DeleteFileA(path) != 0; }

void *HoldFileExclusively(const char *path) {
    HANDLE h =
        CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    return h == INVALID_HANDLE_VALUE ? nullptr : h;
}

void ReleaseFile(void *held) {
    if (held) CloseHandle(static_cast<HANDLE>(held));
}

unsigned ProcessThreadCount() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return 0;
    const DWORD process = GetCurrentProcessId();
    unsigned count = 0;
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == process) ++count;
    CloseHandle(snapshot);
    return count;
}

void *LoadSharedLibrary(const char *fileName) { return reinterpret_cast<void *>(LoadLibraryA(fileName)); }

void *FindSymbol(void *library, const char *name) {
    if (!library) return nullptr;
    return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void UnloadSharedLibrary(void *library) {
    if (library) FreeLibrary(static_cast<HMODULE>(library));
}

const char *SharedLibraryPrefix() { return ""; }
const char *SharedLibrarySuffix() { return ".dll"; }

}  // namespace plat
