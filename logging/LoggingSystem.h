#pragma once
// The process-wide handler factory and metadata provider that new loggers read, each
// guarded by a read-write lock so loggers can be made on any thread at any time.

#include <pthread.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Logger.h"

namespace logging {

// Releases a lock taken by one of the with...Lock bodies below, also when the body throws.
template <class L>
struct UnlockOnExit {
    L& lock;
    ~UnlockOnExit() { lock.unlock(); }
};

// One operating-system read-write lock in storage of its own. Failing to create, take or release it ends the
// process.
class ReadWriteLock {
public:
    ReadWriteLock();
    ~ReadWriteLock();
    ReadWriteLock(const ReadWriteLock&) = delete;
    ReadWriteLock& operator=(const ReadWriteLock&) = delete;

    void lockRead();
    void lockWrite();
    void unlock();

    template <class F>
    auto withReaderLock(F&& body) {
        lockRead();
        UnlockOnExit guard{*this};
        return body();
    }
    template <class F>
    auto withWriterLock(F&& body) {
        lockWrite();
        UnlockOnExit guard{*this};
        return body();
    }

private:
    std::unique_ptr<pthread_rwlock_t> rwlock_;
};

// One operating-system mutex, the plain counterpart of ReadWriteLock. Failing to create,
// take or release it ends the process.
class Lock {
public:
    Lock();
    ~Lock();
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

    void lock();
    void unlock();

    template <class F>
    auto withLock(F&& body) {
        lock();
        UnlockOnExit guard{*this};
        return body();
    }

private:
    std::unique_ptr<pthread_mutex_t> mutex_;
};

class LoggingSystem {
public:
    using Factory = std::function<std::unique_ptr<LogHandler>(
        const std::string& label, const std::optional<Logger::MetadataProvider>& provider)>;

    // Replaces the factory (and, in the second form, the metadata provider) for loggers
    // made from now on. The factory in force at start makes a StreamLogHandler on
    // standard output.
    static void bootstrap(Factory factory);
    static void bootstrap(Factory factory, std::optional<Logger::MetadataProvider> provider);

    static Factory factory();
    static std::optional<Logger::MetadataProvider> metadataProvider();
};

}  // namespace logging
