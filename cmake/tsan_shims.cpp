// Linked into ThreadSanitizer builds only: lets ThreadSanitizer see locking that happens
// inside libraries it cannot instrument, so it reports real races, not lost lock edges.
//
// - The sanitizer runtime does not intercept pthread_mutex_clocklock, which
//   std::timed_mutex::try_lock_until uses for steady-clock deadlines; it then misses the
//   lock and reports the unlock as "unlock of an unlocked mutex". This definition takes
//   precedence over the C library's and locks through the intercepted pthread_mutex_timedlock.
// - QtCore is not instrumented: QMutex's out-of-line lock, unlock and slow paths and
//   QWaitCondition's wait (which unlocks and relocks) are invisible. These definitions take
//   precedence over QtCore's, call them, and tell ThreadSanitizer the mutex was acquired or
//   released, on the same address as QMutex's inline fast paths.
#include <dlfcn.h>
#include <pthread.h>
#include <sanitizer/tsan_interface.h>
#include <time.h>

#include <cstdint>
#include <cstdlib>

extern "C" int pthread_mutex_clocklock(pthread_mutex_t* __restrict mutex, clockid_t clock,
                                       const struct timespec* __restrict deadline) noexcept
{
    if (clock == CLOCK_REALTIME) {
        return pthread_mutex_timedlock(mutex, deadline);
    }
    timespec now{};
    timespec realNow{};
    clock_gettime(clock, &now);
    clock_gettime(CLOCK_REALTIME, &realNow);
    constexpr int64_t NS = 1000000000;
    int64_t left = (static_cast<int64_t>(deadline->tv_sec) - now.tv_sec) * NS + (deadline->tv_nsec - now.tv_nsec);
    if (left < 0) {
        left = 0;
    }
    const int64_t total = static_cast<int64_t>(realNow.tv_sec) * NS + realNow.tv_nsec + left;
    timespec real{};
    real.tv_sec = static_cast<time_t>(total / NS);
    real.tv_nsec = static_cast<long>(total % NS);
    return pthread_mutex_timedlock(mutex, &real);
}

namespace {
// QtCore's own definition of a symbol, not this file's.
template <typename F>
F qtCore(const char* name)
{
    static void* const library = dlopen("libQt5Core.so.5", RTLD_NOW | RTLD_NOLOAD);
    void* const symbol = library ? dlsym(library, name) : nullptr;
    if (!symbol) {
        std::abort();
    }
    return reinterpret_cast<F>(symbol);
}

struct DeadlineTimer { // QDeadlineTimer, passed by value
    int64_t t1;
    uint32_t t2;
    int32_t type;
};
}

extern "C" {
// QMutex::lock(), unlock(), tryLock(int)
void _ZN6QMutex4lockEv(void* mutex)
{
    static const auto real = qtCore<void (*)(void*)>("_ZN6QMutex4lockEv");
    real(mutex);
    __tsan_acquire(mutex);
}
void _ZN6QMutex6unlockEv(void* mutex)
{
    static const auto real = qtCore<void (*)(void*)>("_ZN6QMutex6unlockEv");
    __tsan_release(mutex);
    real(mutex);
}
bool _ZN6QMutex7tryLockEi(void* mutex, int timeout)
{
    static const auto real = qtCore<bool (*)(void*, int)>("_ZN6QMutex7tryLockEi");
    const bool locked = real(mutex, timeout);
    if (locked) {
        __tsan_acquire(mutex);
    }
    return locked;
}
// QBasicMutex::lockInternal(), lockInternal(int), unlockInternal(): the inline slow paths.
void _ZN11QBasicMutex12lockInternalEv(void* mutex)
{
    static const auto real = qtCore<void (*)(void*)>("_ZN11QBasicMutex12lockInternalEv");
    real(mutex);
    __tsan_acquire(mutex);
}
bool _ZN11QBasicMutex12lockInternalEi(void* mutex, int timeout)
{
    static const auto real = qtCore<bool (*)(void*, int)>("_ZN11QBasicMutex12lockInternalEi");
    const bool locked = real(mutex, timeout);
    if (locked) {
        __tsan_acquire(mutex);
    }
    return locked;
}
void _ZN11QBasicMutex14unlockInternalEv(void* mutex)
{
    static const auto real = qtCore<void (*)(void*)>("_ZN11QBasicMutex14unlockInternalEv");
    __tsan_release(mutex);
    real(mutex);
}
// QWaitCondition::wait(QMutex*, QDeadlineTimer) and wait(QMutex*, unsigned long)
bool _ZN14QWaitCondition4waitEP6QMutex14QDeadlineTimer(void* condition, void* mutex, DeadlineTimer deadline)
{
    static const auto real =
        qtCore<bool (*)(void*, void*, DeadlineTimer)>("_ZN14QWaitCondition4waitEP6QMutex14QDeadlineTimer");
    __tsan_release(mutex);
    const bool woken = real(condition, mutex, deadline);
    __tsan_acquire(mutex);
    return woken;
}
bool _ZN14QWaitCondition4waitEP6QMutexm(void* condition, void* mutex, unsigned long timeout)
{
    static const auto real = qtCore<bool (*)(void*, void*, unsigned long)>("_ZN14QWaitCondition4waitEP6QMutexm");
    __tsan_release(mutex);
    const bool woken = real(condition, mutex, timeout);
    __tsan_acquire(mutex);
    return woken;
}
}
