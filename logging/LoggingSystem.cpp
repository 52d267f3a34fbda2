#include "LoggingSystem.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "StreamLogHandler.h"

namespace logging {

namespace {

void check(int result, const char* what) {
    if (result == 0) return;
    std::fprintf(stderr, "logging: %s failed: %s\n", what, std::strerror(result));
    std::abort();
}

struct FactoryBox {
    ReadWriteLock lock;
    LoggingSystem::Factory factory = [](const std::string& label,
                                        const std::optional<Logger::MetadataProvider>&) {
        return std::make_unique<StreamLogHandler>(StreamLogHandler::standardOutput(label));
    };
};

struct ProviderBox {
    ReadWriteLock lock;
    std::optional<Logger::MetadataProvider> provider;
};

// Made on first use and kept to the end of the process, so loggers still work while
// static objects are being destroyed.
FactoryBox& factoryBox() {
    static auto* box = new FactoryBox;
    return *box;
}

ProviderBox& providerBox() {
    static auto* box = new ProviderBox;
    return *box;
}

}  // namespace

ReadWriteLock::ReadWriteLock() : rwlock_(std::make_unique<pthread_rwlock_t>()) {
    check(pthread_rwlock_init(rwlock_.get(), nullptr), "pthread_rwlock_init");
}

ReadWriteLock::~ReadWriteLock() {
    check(pthread_rwlock_destroy(rwlock_.get()), "pthread_rwlock_destroy");
}

void ReadWriteLock::lockRead() {
    check(pthread_rwlock_rdlock(rwlock_.get()), "pthread_rwlock_rdlock");
}
void ReadWriteLock::lockWrite() {
    check(pthread_rwlock_wrlock(rwlock_.get()), "pthread_rwlock_wrlock");
}
void ReadWriteLock::unlock() {
    check(pthread_rwlock_unlock(rwlock_.get()), "pthread_rwlock_unlock");
}

Lock::Lock() : mutex_(std::make_unique<pthread_mutex_t>()) {
    check(pthread_mutex_init(mutex_.get(), nullptr), "pthread_mutex_init");
}

Lock::~Lock() {
    check(pthread_mutex_destroy(mutex_.get()), "pthread_mutex_destroy");
}

void Lock::lock() {
    check(pthread_mutex_lock(mutex_.get()), "pthread_mutex_lock");
}
void Lock::unlock() {
    check(pthread_mutex_unlock(mutex_.get()), "pthread_mutex_unlock");
}

void LoggingSystem::bootstrap(Factory factory) {
    auto& box = factoryBox();
    box.lock.withWriterLock([&] { box.factory = std::move(factory); });
}

void LoggingSystem::bootstrap(Factory factory, std::optional<Logger::MetadataProvider> provider) {
    auto& providers = providerBox();
    providers.lock.withWriterLock([&] { providers.provider = std::move(provider); });
    bootstrap(std::move(factory));
}

LoggingSystem::Factory LoggingSystem::factory() {
    auto& box = factoryBox();
    return box.lock.withReaderLock([&] { return box.factory; });
}

std::optional<Logger::MetadataProvider> LoggingSystem::metadataProvider() {
    auto& box = providerBox();
    return box.lock.withReaderLock([&] { return box.provider; });
}

}  // namespace logging
