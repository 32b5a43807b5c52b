#include <windows.h>

#include "platform/api_lock.h"

namespace {

HANDLE apiMutex = nullptr;
INIT_ONCE apiMutexOnce = INIT_ONCE_STATIC_INIT;
// A Win32 mutex may be taken again by its owner; that would let an export run inside another
// one on the same thread, so re-entry is refused as it is on POSIX.
DWORD ownerThread = 0;

BOOL CALLBACK CreateApiMutex(PINIT_ONCE, PVOID, PVOID *) {
    apiMutex = CreateMutexA(nullptr, FALSE, nullptr);
    return apiMutex != nullptr;
}

}  // namespace

bool ApiLockAcquire() {
    if (!InitOnceExecuteOnce(&apiMutexOnce, CreateApiMutex, nullptr, nullptr)) return false;
    const DWORD result = WaitForSingleObject(apiMutex, INFINITE);
    if (result != WAIT_OBJECT_0 && result != WAIT_ABANDONED) return false;
    if (ownerThread == GetCurrentThreadId()) {
        ReleaseMutex(apiMutex);
        return false;
    }
    ownerThread = GetCurrentThreadId();
    return true;
}

void ApiLockRelease() {
    ownerThread = 0;
    ReleaseMutex(apiMutex);
}
