// POSIX equivalents of the Windows services, with the same results.
#include "platform/platform.h"

#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <link.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

namespace plat {

const char kPathSeparator = '/';

static_assert(sizeof(pthread_mutex_t) <= 64, "critical section storage too small");

CriticalSection::CriticalSection() { pthread_mutex_init(reinterpret_cast<pthread_mutex_t *>(m_storage), nullptr); }

CriticalSection::~CriticalSection() { pthread_mutex_destroy(reinterpret_cast<pthread_mutex_t *>(m_storage)); }

void CriticalSection::enter() { pthread_mutex_lock(reinterpret_cast<pthread_mutex_t *>(m_storage)); }
void CriticalSection::leave() { pthread_mutex_unlock(reinterpret_cast<pthread_mutex_t *>(m_storage)); }

namespace {
// The condition variable serves Event::wait; the eventfd, readable while the
// event is set, lets WaitForWork poll the event beside the driver's signal.
struct EventState {
    pthread_mutex_t mutex;
    pthread_cond_t cond;
    bool signalled;
    int fd;
};

void DrainFd(int fd) {
    uint64_t count;
    while (read(fd, &count, sizeof count) > 0) {}
}
}  // namespace

static_assert(sizeof(EventState) <= 128, "event storage too small");

Event::Event() {
    auto *state = new (m_storage) EventState;
    pthread_mutex_init(&state->mutex, nullptr);
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&state->cond, &attr);
    pthread_condattr_destroy(&attr);
    state->signalled = false;
    state->fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

Event::~Event() {
    auto *state = reinterpret_cast<EventState *>(m_storage);
    if (state->fd >= 0) close(state->fd);
    pthread_cond_destroy(&state->cond);
    pthread_mutex_destroy(&state->mutex);
}

void Event::set() {
    auto *state = reinterpret_cast<EventState *>(m_storage);
    pthread_mutex_lock(&state->mutex);
    if (!state->signalled && state->fd >= 0) {
        const uint64_t one = 1;
        (void)!write(state->fd, &one, sizeof one);
    }
    state->signalled = true;
    pthread_cond_broadcast(&state->cond);
    pthread_mutex_unlock(&state->mutex);
}

void Event::reset() {
    auto *state = reinterpret_cast<EventState *>(m_storage);
    pthread_mutex_lock(&state->mutex);
    if (state->signalled && state->fd >= 0) DrainFd(state->fd);
    state->signalled = false;
    pthread_mutex_unlock(&state->mutex);
}

bool Event::wait(uint32_t timeoutMs) {
    auto *state = reinterpret_cast<EventState *>(m_storage);
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += timeoutMs / 1000;
    deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    pthread_mutex_lock(&state->mutex);
    while (!state->signalled) {
        if (pthread_cond_timedwait(&state->cond, &state->mutex, &deadline) == ETIMEDOUT) break;
    }
    bool signalled = state->signalled;
    pthread_mutex_unlock(&state->mutex);
    return signalled;
}

namespace {
int FdOf(void *signal) { return static_cast<int>(reinterpret_cast<intptr_t>(signal)) - 1; }
}  // namespace

void *CopyDriverSignal(void *driverHandle) {
    const int fd = static_cast<int>(reinterpret_cast<intptr_t>(driverHandle));
    if (fd < 0) return nullptr;
    const int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    return copy < 0 ? nullptr : reinterpret_cast<void *>(static_cast<intptr_t>(copy) + 1);
}

void CloseDriverSignal(void *signal) {
    if (signal) close(FdOf(signal));
}

// poll's time-out is relative and in nanoseconds with ppoll: the deadline is
// met to the thread's timer slack (1 us on the worker), and a wake-up before
// it that finds nothing set waits again.
WakeReason WaitForWork(Event &wake, void *driverSignal, uint64_t deadlineUs) {
    auto *state = reinterpret_cast<EventState *>(wake.m_storage);
    pollfd fds[2] = {{state->fd, POLLIN, 0}, {driverSignal ? FdOf(driverSignal) : -1, POLLIN, 0}};
    for (;;) {
        timespec rel{};
        timespec *timeout = nullptr;
        if (deadlineUs != 0) {
            const uint64_t now = NowUs();
            if (now >= deadlineUs) return WakeReason::Deadline;
            const uint64_t ns = (deadlineUs - now) * 1000u;
            rel.tv_sec = static_cast<time_t>(ns / 1000000000ull);
            rel.tv_nsec = static_cast<long>(ns % 1000000000ull);
            timeout = &rel;
        }
        fds[0].revents = fds[1].revents = 0;
        const int n = ppoll(fds, driverSignal ? 2 : 1, timeout, nullptr);
        if ((n < 0 && errno != EINTR) || fds[0].fd < 0) {
            // No eventfd (the system refused one): the event alone, by the
            // millisecond, looking at the driver's signal between waits.
            if (wake.wait(1)) return WakeReason::Woken;
            continue;
        }
        if (fds[1].revents & POLLIN) {
            DrainFd(fds[1].fd);
            return WakeReason::Driver;
        }
        if (fds[0].revents & POLLIN) return WakeReason::Woken;
    }
}

static_assert(sizeof(pthread_key_t) <= sizeof(unsigned long), "pthread key does not fit a slot");

void ThreadSlot::create() {
    if (m_created) return;
    pthread_key_t key;
    // No destructor: a slot holds a number, and no code of the library may
    // run at the end of a thread after an unload.
    if (pthread_key_create(&key, nullptr) != 0) return;
    m_index = key;
    m_created = true;
}

void ThreadSlot::destroy() {
    if (!m_created) return;
    m_created = false;
    pthread_key_delete(static_cast<pthread_key_t>(m_index));
}

uintptr_t ThreadSlot::get() const {
    return m_created ? reinterpret_cast<uintptr_t>(pthread_getspecific(static_cast<pthread_key_t>(m_index))) : 0;
}

void ThreadSlot::set(uintptr_t value) const {
    if (m_created) pthread_setspecific(static_cast<pthread_key_t>(m_index), reinterpret_cast<void *>(value));
}

namespace {
ThreadSlot g_threadIds;
}  // namespace

void BeginThreadValues() { g_threadIds.create(); }
void EndThreadValues() { g_threadIds.destroy(); }

// Every trace scope and every lock asks for it: one system call per thread
// while the library is loaded (each call outside it, in a program that uses
// the platform layer alone).
uint32_t CurrentThreadId() {
    uintptr_t id = g_threadIds.get();
    if (id == 0) {
        id = static_cast<uintptr_t>(syscall(SYS_gettid));
        g_threadIds.set(id);
    }
    return static_cast<uint32_t>(id);
}

uint64_t PerfCounter() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

uint64_t PerfFrequency() { return 1000000000ull; }

uint32_t TickCount() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000u +
                                 static_cast<uint64_t>(ts.tv_nsec) / 1000000u);
}

uint64_t ProcessCpuTimeUs() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto us = [](const timeval &tv) {
        return static_cast<uint64_t>(tv.tv_sec) * 1000000u + static_cast<uint64_t>(tv.tv_usec);
    };
    return us(usage.ru_utime) + us(usage.ru_stime);
}

CalendarTime LocalCalendarTime() {
    time_t now = time(nullptr);
    struct tm t {};
    localtime_r(&now, &t);
    return CalendarTime{t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec};
}

void SleepMs(uint32_t ms) {
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {}
}

// The default timer slack of 50 us stretches every 1 ms sleep by 5 %. Slack
// belongs to a thread, so the holder is the calling thread: the worker, the
// one thread that sleeps in 1 ms steps, asks for exact sleeps on itself.
void BeginTimerResolution() { prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL); }
// Back to the thread's default slack.
void EndTimerResolution() { prctl(PR_SET_TIMERSLACK, 0UL, 0UL, 0UL, 0UL); }

namespace {
struct MetronomeState {
    uint64_t periodNs;
    uint64_t nextNs;
};

uint64_t MonotonicNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}
}  // namespace

static_assert(sizeof(MetronomeState) <= 32, "metronome storage too small");

uint64_t NowUs() { return MonotonicNs() / 1000u; }

void SleepUntilUs(uint64_t deadlineUs) {
    const uint64_t ns = deadlineUs * 1000u;
    timespec until{static_cast<time_t>(ns / 1000000000ull), static_cast<long>(ns % 1000000000ull)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {}
}

Metronome::Metronome(uint32_t periodUs) {
    auto *state = new (m_storage) MetronomeState;
    state->periodNs = static_cast<uint64_t>(periodUs) * 1000u;
    state->nextNs = MonotonicNs();
}

Metronome::~Metronome() {}

void Metronome::wait() {
    auto *state = reinterpret_cast<MetronomeState *>(m_storage);
    const uint64_t now = MonotonicNs();
    state->nextNs += state->periodNs;
    if (state->nextNs <= now) state->nextNs += ((now - state->nextNs) / state->periodNs + 1) * state->periodNs;
    timespec until{static_cast<time_t>(state->nextNs / 1000000000ull),
                   static_cast<long>(state->nextNs % 1000000000ull)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {}
}

namespace {
struct ThreadStart {
    ThreadProc proc;
    void *arg;
};

void *ThreadTrampoline(void *p) {
    ThreadStart start = *static_cast<ThreadStart *>(p);
    delete static_cast<ThreadStart *>(p);
    start.proc(start.arg);
    return nullptr;
}
}  // namespace

bool StartThread(ThreadProc proc, void *arg, ThreadHandle *handle, int *errorCode) {
    auto *start = new (std::nothrow) ThreadStart{proc, arg};
    if (!start) {
        *errorCode = ENOMEM;
        handle->native = nullptr;
        handle->open = false;
        return false;
    }
    pthread_t thread;
    int rc = pthread_create(&thread, nullptr, ThreadTrampoline, start);
    if (rc != 0) {
        delete start;
        *errorCode = rc;
        handle->native = nullptr;
        handle->open = false;
        return false;
    }
    static_assert(sizeof(pthread_t) <= sizeof(void *), "pthread_t does not fit a handle");
    handle->native = reinterpret_cast<void *>(thread);
    handle->open = true;
    return true;
}

// Joining needs no lock that dlclose holds: nothing to do.
void ReapUnderLoaderLock(ThreadHandle *) {}

void CloseThread(ThreadHandle *handle, bool finished) {
    if (!handle->open) return;
    pthread_t thread = reinterpret_cast<pthread_t>(handle->native);
    // A thread that has signalled its last step is only returning through the
    // trampoline: reaping it makes sure no instruction of this library runs
    // after the library is unmapped. One that has not is left to end alone.
    if (finished)
        pthread_join(thread, nullptr);
    else
        pthread_detach(thread);
    handle->open = false;
}

namespace {
struct ModuleSearch {
    const char *name;
    std::string path;
};

int MatchModule(dl_phdr_info *info, size_t, void *data) {
    auto *search = static_cast<ModuleSearch *>(data);
    if (!info->dlpi_name || !info->dlpi_name[0]) return 0;
    const char *base = std::strrchr(info->dlpi_name, '/');
    base = base ? base + 1 : info->dlpi_name;
    if (std::strcmp(base, search->name) != 0) return 0;
    search->path = info->dlpi_name;
    return 1;
}
}  // namespace

namespace {
// The loader's name of a module as an absolute path, into buf.
bool CopyAbsolutePath(std::string full, char *buf, std::size_t bufLen) {
    if (full[0] != '/') {
        char resolved[PATH_MAX];
        if (realpath(full.c_str(), resolved)) full = resolved;
    }
    if (full.size() + 1 > bufLen) return false;
    std::memcpy(buf, full.c_str(), full.size() + 1);
    return true;
}
}  // namespace

bool LoadedModuleFileName(const char *moduleName, char *buf, std::size_t bufLen) {
    ModuleSearch search{moduleName, std::string()};
    if (!dl_iterate_phdr(MatchModule, &search)) return false;
    return CopyAbsolutePath(search.path, buf, bufLen);
}

bool ModuleFileNameOf(const void *address, char *buf, std::size_t bufLen) {
    Dl_info info{};
    if (!dladdr(address, &info) || !info.dli_fname || !info.dli_fname[0]) return false;
    return CopyAbsolutePath(info.dli_fname, buf, bufLen);
}

bool EnvironmentValue(const char *name, char *buf, std::size_t bufLen) {
    const char *value = std::getenv(name);
    if (!value) return false;
    const std::size_t length = std::strlen(value);
    if (length + 1 > bufLen) return false;
    std::memcpy(buf, value, length + 1);
    return true;
}

void SetEnvironmentValue(const char *name, const char *value) {
    if (value && *value)
        setenv(name, value, 1);
    else
        unsetenv(name);
}

bool ExecutableFileName(char *buf, std::size_t bufLen) {
    ssize_t n = readlink("/proc/self/exe", buf, bufLen);
    if (n <= 0 || static_cast<std::size_t>(n) >= bufLen) return false;
    buf[n] = '\0';
    return true;
}

namespace {
std::string Trim(const std::string &s) {
    size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
    return s.substr(b, e - b);
}

bool EqualsNoCase(const std::string &a, const char *b) {
    size_t n = std::strlen(b);
    if (a.size() != n) return false;
    for (size_t i = 0; i < n; ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

uint32_t CopyTruncated(const std::string &value, char *buf, uint32_t bufLen) {
    if (bufLen == 0) return 0;
    uint32_t n = static_cast<uint32_t>(value.size());
    if (n > bufLen - 1) n = bufLen - 1;
    std::memcpy(buf, value.data(), n);
    buf[n] = '\0';
    return n;
}
}  // namespace

// Section and key names compare without case, surrounding blanks are
// dropped, and a value in matching quotes loses its quotes, as on Windows.
uint32_t ReadProfileString(const char *section, const char *key, const char *defaultText, char *buf, uint32_t bufLen,
                           const char *fileName) {
    std::string def = defaultText ? defaultText : "";
    FILE *file = std::fopen(fileName, "r");
    if (!file) return CopyTruncated(Trim(def), buf, bufLen);
    std::string line;
    bool inSection = false;
    std::string found;
    bool have = false;
    int c;
    auto handleLine = [&](std::string l) {
        if (!l.empty() && l.back() == '\r') l.pop_back();
        std::string t = Trim(l);
        if (t.empty()) return false;
        if (t[0] == '[') {
            size_t end = t.find(']');
            inSection =
                EqualsNoCase(Trim(t.substr(1, end == std::string::npos ? std::string::npos : end - 1)), section);
            return false;
        }
        if (!inSection || t[0] == ';') return false;
        size_t eq = t.find('=');
        std::string name = Trim(eq == std::string::npos ? t : t.substr(0, eq));
        if (!EqualsNoCase(name, key)) return false;
        std::string value = eq == std::string::npos ? std::string() : Trim(t.substr(eq + 1));
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        found = value;
        return true;
    };
    while ((c = std::fgetc(file)) != EOF) {
        if (c == '\n') {
            if (handleLine(line)) {
                have = true;
                break;
            }
            line.clear();
        } else {
            line.push_back(static_cast<char>(c));
        }
    }
    if (!have && !line.empty()) have = handleLine(line);
    std::fclose(file);
    return CopyTruncated(have ? found : Trim(def), buf, bufLen);
}

void DisableThreadNotifications(void *) {}

void ShowMessageBox(const char *text, const char *title) {
    std::fprintf(stderr, "%s: %s\n", title, text);
    std::fflush(stderr);
}

bool FullPathName(const char *path, char *buf, std::size_t bufLen) {
    std::string full;
    if (path[0] == '/') {
        full = path;
    } else {
        char cwd[PATH_MAX];
        if (!getcwd(cwd, sizeof cwd)) return false;
        full = std::string(cwd) + "/" + path;
    }
    if (full.size() + 1 > bufLen) return false;
    std::memcpy(buf, full.c_str(), full.size() + 1);
    return true;
}

bool FileExists(const char *path) {
    struct stat st;
    return stat(path, &st) == 0;
}

bool FileIsReadOnly(const char *path) {
    if (!FileExists(path)) return false;
    int fd = open(path, O_WRONLY | O_APPEND);
    if (fd < 0) return true;
    close(fd);
    return false;
}

// Windows refuses to move a file that another process holds open without
// sharing; here an exclusive advisory lock held elsewhere plays that part.
RenameResult RenameFile(const char *from, const char *to) {
    int fd = open(from, O_RDONLY);
    if (fd < 0) return errno == ENOENT ? RenameResult::SourceMissing : RenameResult::AccessDenied;
    bool locked = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    if (!locked) flock(fd, LOCK_UN);
    close(fd);
    if (locked) return RenameResult::AccessDenied;
    if (FileExists(to)) return RenameResult::TargetExists;
    if (rename(from, to) == 0) return RenameResult::Ok;
    switch (errno) {
        case ENOENT: return RenameResult::SourceMissing;
        case EACCES:
        case EPERM:
        case EBUSY: return RenameResult::AccessDenied;
        default: return RenameResult::Failed;
    }
}

bool RemoveFile(const char *path) { return unlink(path) == 0; }

void *HoldFileExclusively(const char *path) {
    int fd = open(path, O_RDWR);
    if (fd < 0) return nullptr;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return nullptr;
    }
    return reinterpret_cast<void *>(static_cast<intptr_t>(fd) + 1);
}

void ReleaseFile(void *held) {
    if (held) close(static_cast<int>(reinterpret_cast<intptr_t>(held) - 1));
}

unsigned ProcessThreadCount() {
    DIR *tasks = opendir("/proc/self/task");
    if (!tasks) return 0;
    unsigned count = 0;
    while (const dirent *entry = readdir(tasks))
        if (entry->d_name[0] != '.') ++count;
    closedir(tasks);
    return count;
}

void *LoadSharedLibrary(const char *fileName) { return dlopen(fileName, RTLD_NOW | RTLD_LOCAL); }
void *FindSymbol(void *library, const char *name) { return library ? dlsym(library, name) : nullptr; }
void UnloadSharedLibrary(void *library) {
    if (library) dlclose(library);
}
const char *SharedLibraryPrefix() { return "lib"; }
const char *SharedLibrarySuffix() { return ".so"; }

}  // namespace plat
