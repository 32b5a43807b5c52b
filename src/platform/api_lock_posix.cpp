#include <pthread.h>

#include <cerrno>

#include "platform/api_lock.h"

namespace {

pthread_mutex_t apiMutex;
pthread_once_t apiMutexOnce = PTHREAD_ONCE_INIT;

// Robust, so that a thread that died holding the lock does not block every later call; error
// checking, so that a re-entrant call fails instead of hanging.
void CreateApiMutex() {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ERRORCHECK);
    pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
    pthread_mutex_init(&apiMutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
}

}  // namespace

bool ApiLockAcquire() {
    if (pthread_once(&apiMutexOnce, CreateApiMutex) != 0) return false;
    const int result = pthread_mutex_lock(&apiMutex);
    if (result == EOWNERDEAD) {
        pthread_mutex_consistent(&apiMutex);
        return true;
    }
    return result == 0;
}

void ApiLockRelease() { pthread_mutex_unlock(&apiMutex); }
