#pragma once
// News of new connections from connection tracking (netlink, NETLINK_NETFILTER, the
// "new" event group) of the network namespace that the listener is started in.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace netext {

// The original direction of a new connection.
struct ConntrackFlow {
    int family = 0;    // AF_INET or AF_INET6
    int protocol = 0;  // IPPROTO_*
    std::string sourceAddress, destinationAddress;
    std::uint16_t sourcePort = 0, destinationPort = 0;  // 0 for protocols without ports
};

// Decodes one conntrack netlink message (header included); nothing when it is no
// well-formed new-connection message.
std::optional<ConntrackFlow> parseConntrackMessage(std::string_view message);

class ConntrackListener {
public:
    using Callback = std::function<void(const ConntrackFlow&)>;

    ConntrackListener() = default;
    ~ConntrackListener();
    ConntrackListener(const ConntrackListener&) = delete;
    ConntrackListener& operator=(const ConntrackListener&) = delete;

    // Subscribes and calls callback on a thread of its own for each new connection.
    // Returns an error text when the subscription is refused (it needs CAP_NET_ADMIN).
    std::optional<std::string> start(Callback callback);
    void stop();
    bool running() const { return thread_.joinable(); }

private:
    void run(Callback callback);

    int socket_ = -1;
    int wake_ = -1;
    std::thread thread_;
};

}  // namespace netext
