// entropy.cpp: seeds from the operating system, and word of the process's forks.
#include "planning/entropy.hpp"

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// After windows.h, which defines the types it uses.
#include <bcrypt.h>

#include <cstdio>

namespace tarn::planning {

namespace {

class SystemPreferredEntropy final : public EntropySource {
public:
    bool fill(Seed& seed, std::string& error) override {
        const NTSTATUS status = ::BCryptGenRandom(
            nullptr, seed.data(), static_cast<ULONG>(seed.size()), BCRYPT_USE_SYSTEM_PREFERRED_RNG);
        if (BCRYPT_SUCCESS(status)) return true;
        char text[64];
        std::snprintf(text, sizeof text, "BCryptGenRandom failed with status 0x%08lX",
                      static_cast<unsigned long>(status));
        error = text;
        return false;
    }
};

}  // namespace

EntropySource& os_entropy() {
    static SystemPreferredEntropy source;
    return source;
}

// No fork on Windows: a new process starts afresh and seeds its own generators.
void watch_forks(void (*)()) {}

}  // namespace tarn::planning

#else  // POSIX

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <mutex>
#include <system_error>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#if __has_include(<sys/random.h>)
#include <sys/random.h>
#define TARN_HAVE_SYS_RANDOM 1
#endif

namespace tarn::planning {

namespace {

std::string errno_text(int error_number) { return std::system_category().message(error_number); }

// Reads exactly seed.size() bytes from an open descriptor, riding out signals and short reads.
bool read_fully(int fd, Seed& seed, std::string& error) {
    std::size_t done = 0;
    while (done < seed.size()) {
        const ssize_t got = ::read(fd, seed.data() + done, seed.size() - done);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            error = errno_text(got == 0 ? EIO : errno);
            return false;
        }
        done += static_cast<std::size_t>(got);
    }
    return true;
}

class FileDescriptor {
public:
    explicit FileDescriptor(const char* path) : fd_(::open(path, O_RDONLY | O_CLOEXEC)) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

// /dev/urandom alone may hand out bytes before the kernel pool was ever seeded; /dev/random turning
// readable once proves it has been, so that wait is needed only once per process.
class DeviceEntropy final : public EntropySource {
public:
    bool fill(Seed& seed, std::string& error) override {
        if (!pool_ready_.load(std::memory_order_acquire)) {
            if (!wait_for_pool(error)) return false;
            pool_ready_.store(true, std::memory_order_release);
        }
        const FileDescriptor urandom("/dev/urandom");
        if (urandom.get() < 0) {
            error = errno_text(errno);
            return false;
        }
        return read_fully(urandom.get(), seed, error);
    }

private:
    static bool wait_for_pool(std::string& error) {
        const FileDescriptor random("/dev/random");
        if (random.get() < 0) {
            error = errno_text(errno);
            return false;
        }
        pollfd request{random.get(), POLLIN, 0};
        for (;;) {
            const int ready = ::poll(&request, 1, -1);
            if (ready > 0) return true;
            if (ready < 0 && errno != EINTR) {
                error = errno_text(errno);
                return false;
            }
        }
    }

    std::atomic<bool> pool_ready_{false};
};

class OsEntropy final : public EntropySource {
public:
    bool fill(Seed& seed, std::string& error) override {
#if defined(__linux__) && defined(TARN_HAVE_SYS_RANDOM)
        std::size_t done = 0;
        while (done < seed.size()) {
            const ssize_t got = ::getrandom(seed.data() + done, seed.size() - done, 0);
            if (got < 0 && errno == EINTR) continue;
            // Kernels older than the call answer ENOSYS: the devices are the way there.
            if (got < 0 && errno == ENOSYS) return device_entropy().fill(seed, error);
            if (got < 0) {
                error = errno_text(errno);
                return false;
            }
            done += static_cast<std::size_t>(got);
        }
        return true;
#elif defined(__linux__)
        return device_entropy().fill(seed, error);
#else
        // macOS and the BSDs: getentropy() serves up to 256 bytes in one call and never reads
        // short.
        if (::getentropy(seed.data(), seed.size()) != 0) {
            error = errno_text(errno);
            return false;
        }
        return true;
#endif
    }
};

std::once_flag fork_handlers_registered;

}  // namespace

EntropySource& os_entropy() {
    static OsEntropy source;
    return source;
}

EntropySource& device_entropy() {
    static DeviceEntropy source;
    return source;
}

void watch_forks(void (*on_fork)()) {
    // A failure here (only ENOMEM) leaves forks undetected; the generators still reseed on
    // schedule, which is the best left to do.
    std::call_once(fork_handlers_registered,
                   [on_fork] { (void)::pthread_atfork(nullptr, on_fork, on_fork); });
}

}  // namespace tarn::planning

#endif
