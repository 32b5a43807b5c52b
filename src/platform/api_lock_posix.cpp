#include <pthread.h>

#include <cerrno>
#include <cstdint>
#include <type_traits>

#include "platform/api_lock.h"

namespace {

// A ticket lock: callers are served in the order they arrived, so a thread that releases the lock
// and asks again at once (as OpenSerialPort does between its probes) queues behind those already
// waiting instead of taking it straight back.
//
// The tickets are kept under `queueMutex`. Only the caller whose ticket is up contends for
// `ownerMutex`, which is held for the whole of an export body: robust, so that a thread that
// ended holding it hands it on (EOWNERDEAD) instead of blocking every later call.
struct TicketLock {
    pthread_mutex_t queueMutex;
    pthread_cond_t ticketServed;
    pthread_mutex_t ownerMutex;
    uint64_t nextTicket = 0;
    uint64_t ticketUp = 0;  // the one caller allowed to contend for ownerMutex
};

// Never destroyed: it has no destructor for the exit to run, so a thread inside an export at exit
// still finds it.
TicketLock apiLock;
static_assert(std::is_trivially_destructible_v<TicketLock>);
pthread_once_t apiLockOnce = PTHREAD_ONCE_INIT;
// A second acquisition on the thread that holds the lock would wait for itself.
thread_local bool heldByThisThread = false;

void InitRobustMutex(pthread_mutex_t &mutex) {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
    pthread_mutex_init(&mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
}

void CreateApiLock() {
    InitRobustMutex(apiLock.queueMutex);
    InitRobustMutex(apiLock.ownerMutex);
    pthread_cond_init(&apiLock.ticketServed, nullptr);
}

// True when the mutex is held: a dead previous owner counts, made consistent.
bool Held(pthread_mutex_t &mutex, int result) {
    if (result == EOWNERDEAD) {
        pthread_mutex_consistent(&mutex);
        return true;
    }
    return result == 0;
}

// Lets the next ticket contend for ownerMutex.
void ServeNextTicket() {
    Held(apiLock.queueMutex, pthread_mutex_lock(&apiLock.queueMutex));
    ++apiLock.ticketUp;
    pthread_cond_broadcast(&apiLock.ticketServed);
    pthread_mutex_unlock(&apiLock.queueMutex);
}

// Disables cancellation for its lifetime: a waiter cancelled in the queue would take its
// ticket with it and stop every caller behind it.
class NoCancellation {
public:
    NoCancellation() { pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &previous); }
    ~NoCancellation() { pthread_setcancelstate(previous, nullptr); }
    NoCancellation(const NoCancellation &) = delete;
    NoCancellation &operator=(const NoCancellation &) = delete;

private:
    int previous = PTHREAD_CANCEL_ENABLE;
};

}  // namespace

bool ApiLockAcquire() {
    if (heldByThisThread) return false;
    if (pthread_once(&apiLockOnce, CreateApiLock) != 0) return false;
    const NoCancellation noCancellation;
    if (!Held(apiLock.queueMutex, pthread_mutex_lock(&apiLock.queueMutex))) return false;
    const uint64_t ticket = apiLock.nextTicket++;
    while (ticket != apiLock.ticketUp) {
        Held(apiLock.queueMutex, pthread_cond_wait(&apiLock.ticketServed, &apiLock.queueMutex));
    }
    pthread_mutex_unlock(&apiLock.queueMutex);
    const bool held = Held(apiLock.ownerMutex, pthread_mutex_lock(&apiLock.ownerMutex));
    // Whether or not the wait succeeded, the ticket is used up and the next one may contend.
    ServeNextTicket();
    heldByThisThread = held;
    return held;
}

void ApiLockRelease() {
    heldByThisThread = false;
    pthread_mutex_unlock(&apiLock.ownerMutex);
}
