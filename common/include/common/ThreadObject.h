// Lockable objects: the base of every structure shared between threads.
#pragma once

#include "platform/Locks.h"

#include <memory>
#include <mutex>

namespace qor {

// A critical section for exclusive use, plus a multi-reader/single-writer lock
// that is made on first use (most lockable objects never need it).
class TThreadObject {
public:
    TThreadObject() = default;
    TThreadObject(const TThreadObject&) = delete;
    TThreadObject& operator=(const TThreadObject&) = delete;
    virtual ~TThreadObject() = default;

    void Lock() { section_.Enter(); }
    void Unlock() { section_.Leave(); }

    void BeginRead() { Sync().BeginRead(); }
    void EndRead() { Sync().EndRead(); }
    void BeginWrite() { Sync().BeginWrite(); }
    void EndWrite() { Sync().EndWrite(); }

    // Scoped holders of the three sides.
    class SectionLock {
    public:
        explicit SectionLock(TThreadObject& o) : o_(o) { o_.Lock(); }
        ~SectionLock() { o_.Unlock(); }
        SectionLock(const SectionLock&) = delete;
        SectionLock& operator=(const SectionLock&) = delete;

    private:
        TThreadObject& o_;
    };
    class ReadLock {
    public:
        explicit ReadLock(TThreadObject& o) : o_(o) { o_.BeginRead(); }
        ~ReadLock() { o_.EndRead(); }
        ReadLock(const ReadLock&) = delete;
        ReadLock& operator=(const ReadLock&) = delete;

    private:
        TThreadObject& o_;
    };
    class WriteLock {
    public:
        explicit WriteLock(TThreadObject& o) : o_(o) { o_.BeginWrite(); }
        ~WriteLock() { o_.EndWrite(); }
        WriteLock(const WriteLock&) = delete;
        WriteLock& operator=(const WriteLock&) = delete;

    private:
        TThreadObject& o_;
    };

private:
    platform::MultiReadExclusiveWriteSync& Sync() {
        std::call_once(syncMade_, [this] { sync_ = std::make_unique<platform::MultiReadExclusiveWriteSync>(); });
        return *sync_;
    }

    platform::CriticalSection section_;
    std::once_flag syncMade_;
    std::unique_ptr<platform::MultiReadExclusiveWriteSync> sync_;
};

} // namespace qor
