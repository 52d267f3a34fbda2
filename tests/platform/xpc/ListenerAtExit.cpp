// A process whose listener has refused connections when main returns: with "invalidate"
// it invalidates the listener just before, with "listening" it leaves it listening.
// Either way every refusal it counted must be written before the process ends.

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "XPC.h"

namespace {

class Keeper : public xpc::ListenerDelegate {
public:
    bool shouldAcceptNewConnection(xpc::Listener&, const std::shared_ptr<xpc::Connection>& c) override {
        c->resume();
        std::lock_guard lock(mutex);
        kept.push_back(c);
        changed.notify_all();
        return true;
    }
    void waitFor(std::size_t n) {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return kept.size() >= n; });
    }
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::shared_ptr<xpc::Connection>> kept;
};

int rawConnect(const std::string& name) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, xpc::serviceSocketPath(name).c_str());
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) std::exit(3);
    return fd;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    ::setenv("QUILLMARK_XPC_DIR", argv[1], 1);
    const std::string name = "com.example.atexit";
    auto keeper = std::make_shared<Keeper>();
    auto listener = xpc::Listener::withMachServiceName(name);
    listener->setDelegate(keeper);
    if (!listener->resume()) return 4;
    std::vector<int> open;
    for (std::size_t i = 0; i < xpc::kMaxConnectionsPerUser; ++i) open.push_back(rawConnect(name));
    keeper->waitFor(xpc::kMaxConnectionsPerUser);
    // The first refusal is written at once, the other two are counted for later.
    for (int i = 0; i < 3; ++i) {
        int fd = rawConnect(name);
        char c;
        if (::read(fd, &c, 1) != 0) return 5;
        ::close(fd);
    }
    if (std::string(argv[2]) == "invalidate") listener->invalidate();
    return 0;
}
