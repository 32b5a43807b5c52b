// The process-wide lock that lets one export body run at a time. It is created on first use,
// exactly once however many threads race for it, and never destroyed.
#pragma once

// Waits without a time limit. False when the wait itself failed (the caller answers -400); an
// owner that ended while holding the lock counts as a successful wait. Re-entering from the
// thread that already holds the lock is a failed wait, never a deadlock.
bool ApiLockAcquire();
void ApiLockRelease();
