// The operating-system services the library relies on, one interface with a
// Win32 implementation and a POSIX one that gives the same results.
#ifndef PT_PLATFORM_PLATFORM_H
#define PT_PLATFORM_PLATFORM_H

#include <cstddef>
#include <cstdint>

namespace plat {

// Path separator of module and file names ('\\' on Windows, '/' elsewhere).
extern const char kPathSeparator;

// Longest path the library handles in a fixed buffer, terminating NUL included.
constexpr std::size_t kMaxPath = 260;

// Mutual exclusion, not re-entrant: a thread that takes it again while it
// holds it deadlocks (and ThreadSanitizer reports a double lock).
class CriticalSection {
public:
    CriticalSection();
    ~CriticalSection();
    CriticalSection(const CriticalSection &) = delete;
    CriticalSection &operator=(const CriticalSection &) = delete;
    void enter();
    void leave();

private:
    alignas(16) unsigned char m_storage[64];
};

enum class WakeReason { Woken, Driver, Deadline };
class Event;
// Waits until wake is set (left set: the caller resets it), the driver's
// notification (a copy from CopyDriverSignal; null: none) is set (the wait
// takes it, so it wakes once per setting), or deadlineUs (NowUs's clock; 0:
// none) has come, exact to a few microseconds. On Windows the two are event
// handles waited for together; elsewhere the event and the driver's signal
// are file descriptors polled together.
WakeReason WaitForWork(Event &wake, void *driverSignal, uint64_t deadlineUs);

// Our own copy of the notification the Vector driver gave (xlSetNotification's
// handle: a Win32 event handle, or elsewhere a file descriptor in the
// pointer's bits), so that the driver closing its own (a port closed) never
// pulls it from under a wait; null when it cannot be copied.
void *CopyDriverSignal(void *driverHandle);
void CloseDriverSignal(void *signal);

// Manual-reset event, as a hand-shake between threads that never blocks the
// signalling side.
class Event {
public:
    Event();
    ~Event();
    Event(const Event &) = delete;
    Event &operator=(const Event &) = delete;
    void set();
    void reset();
    // True when the event was set within timeoutMs.
    bool wait(uint32_t timeoutMs);

private:
    friend WakeReason WaitForWork(Event &wake, void *driverSignal, uint64_t deadlineUs);
    alignas(16) unsigned char m_storage[128];
};

uint32_t CurrentThreadId();

// A value of each thread, 0 until the thread sets one, kept by the system:
// the library has no thread-local storage of its own, because an unload
// leaves such storage behind in every thread that used it (the C runtime's
// record of it, or with MinGW's runtime a key and a destructor that point
// into the unloaded code). Created by the load handler, deleted by the
// unload handler; while there is none, get() gives 0 and set() does nothing.
// Creating and deleting happen while no other thread of the library runs.
class ThreadSlot {
public:
    void create();
    void destroy();
    uintptr_t get() const;
    void set(uintptr_t value) const;

private:
    unsigned long m_index = 0;
    bool m_created = false;
};

// The platform's own per-thread values (the cached thread id on POSIX): the
// library's entry begins them before its load handler and ends them after
// its unload handler.
void BeginThreadValues();
void EndThreadValues();
uint64_t PerfCounter();
uint64_t PerfFrequency();
uint32_t TickCount();
// CPU time (user and kernel) that all threads of this process have used, in
// microseconds.
uint64_t ProcessCpuTimeUs();

// Local calendar time.
struct CalendarTime {
    int year, month, day, hour, minute, second;
};
CalendarTime LocalCalendarTime();
void SleepMs(uint32_t ms);

// Microseconds of the monotonic high-resolution clock.
uint64_t NowUs();
// Returns at deadlineUs (NowUs's clock) or just after, with sub-millisecond
// accuracy: for pacing frames closer than the scheduler's tick.
void SleepUntilUs(uint64_t deadlineUs);

// While at least one holder exists, sleeps of 1 ms really last about 1 ms.
void BeginTimerResolution();
void EndTimerResolution();

// Wakes its thread at a steady rate: every wait ends at the next tick of a
// fixed period counted from construction, so the work done between waits
// does not stretch the cycle (a plain 1 ms sleep always comes on top of it).
// A tick that was missed is skipped, never caught up in a burst.
class Metronome {
public:
    explicit Metronome(uint32_t periodUs);
    ~Metronome();
    Metronome(const Metronome &) = delete;
    Metronome &operator=(const Metronome &) = delete;
    void wait();

private:
    alignas(16) unsigned char m_storage[32];
};

typedef uint32_t (*ThreadProc)(void *arg);

struct ThreadHandle {
    void *native = nullptr;
    bool open = false;
    void *control = nullptr;  // the platform's own record of the thread
};

// Starts a thread running proc(arg) at once. On failure returns false and
// sets *errorCode to the system's error number.
bool StartThread(ThreadProc proc, void *arg, ThreadHandle *handle, int *errorCode);
// The thread is to be reaped under the loader lock (an unload), where a
// thread's end cannot be waited for on Windows. Call before the thread is
// told to stop.
void ReapUnderLoaderLock(ThreadHandle *handle);
// Releases the handle. finished tells that the thread has done its last step
// (it signalled so) and is only returning to the system: it is then reaped so
// that no instruction of the library runs after the call. POSIX joins it;
// Windows waits for its end, but for a thread reaped under the loader lock,
// which parks outside the library's code and is ended there, leaving once
// the unload is done. Unfinished threads are left to end alone.
void CloseThread(ThreadHandle *handle, bool finished);

// Full file name of a module already loaded into the process whose file name
// (without directory) is moduleName; nothing is loaded. False when there is
// no such module or its name does not fit into bufLen.
bool LoadedModuleFileName(const char *moduleName, char *buf, std::size_t bufLen);

// Full file name of the module (library or program) whose code or data holds
// address; false when there is none or the name does not fit into bufLen.
bool ModuleFileNameOf(const void *address, char *buf, std::size_t bufLen);

// The value of an environment variable of the process; false when it is not
// set or does not fit into bufLen.
bool EnvironmentValue(const char *name, char *buf, std::size_t bufLen);
// Sets an environment variable of the process for the system's and the C
// runtime's readers alike; value null or "" removes it. For hosts and tools.
void SetEnvironmentValue(const char *name, const char *value);

// Full file name of the running program.
bool ExecutableFileName(char *buf, std::size_t bufLen);

// GetPrivateProfileStringA: copies the value (or the default) into buf,
// truncated to bufLen - 1 characters, and returns the characters copied.
uint32_t ReadProfileString(const char *section, const char *key, const char *defaultText, char *buf, uint32_t bufLen,
                           const char *fileName);

// The library needs no per-thread start and end notifications.
void DisableThreadNotifications(void *module);

// A message box with an OK button and no owner (stderr line on POSIX).
void ShowMessageBox(const char *text, const char *title);

// GetFullPathNameA into a buffer of bufLen; false when it fails or does not fit.
bool FullPathName(const char *path, char *buf, std::size_t bufLen);

enum class RenameResult { Ok, SourceMissing, TargetExists, AccessDenied, Failed };

bool FileExists(const char *path);
// The file exists and cannot be opened for writing.
bool FileIsReadOnly(const char *path);
// MoveFileA semantics: never replaces an existing target. A file that
// another process holds locked reports AccessDenied.
RenameResult RenameFile(const char *from, const char *to);
bool RemoveFile(const char *path);

// Opens a file so that no other process may rename or delete it (what a
// running program does to its own trace); null when it cannot be opened.
void *HoldFileExclusively(const char *path);
void ReleaseFile(void *held);

// Threads the process runs now (those the system still lists); 0 when the
// system cannot tell.
unsigned ProcessThreadCount();

// Run-time loading of a shared library by its plain file name through the
// platform's normal search; an object of that name already in the process is
// the one used.
void *LoadSharedLibrary(const char *fileName);
void *FindSymbol(void *library, const char *name);
void UnloadSharedLibrary(void *library);
// The file name a shared library of this platform gets for a base name
// ("pt_vector" -> "pt_vector.dll" or "libpt_vector.so").
const char *SharedLibraryPrefix();
const char *SharedLibrarySuffix();

}  // namespace plat

#endif
