#pragma once

#include <windows.h>

namespace quorvex::foreign {

// Slim locks only: several are taken on a thread's first step and in the
// loader's notifications, under the loader's lock, so none of them is ever
// held across a call into the loader.
class ExclusiveLock {
  public:
    explicit ExclusiveLock(SRWLOCK& lock) : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
    ~ExclusiveLock() { ReleaseSRWLockExclusive(&lock_); }
    ExclusiveLock(const ExclusiveLock&) = delete;
    ExclusiveLock& operator=(const ExclusiveLock&) = delete;

  private:
    SRWLOCK& lock_;
};

}  // namespace quorvex::foreign
