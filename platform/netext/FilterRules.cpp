#include "FilterRules.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

extern char** environ;

namespace netext {

namespace {

// "ip" or "ip6" for an address, nothing when it is neither.
std::optional<std::string> addressFamilyWord(const std::string& address) {
    std::uint8_t buf[16];
    if (inet_pton(AF_INET, address.c_str(), buf) == 1) return "ip";
    if (inet_pton(AF_INET6, address.c_str(), buf) == 1) return "ip6";
    return std::nullopt;
}

bool networkMatches(const std::optional<NWHostEndpoint>& network, std::uint32_t prefix, const std::string& address) {
    if (!network || prefix == 0) return true;
    std::uint8_t net[16] = {}, addr[16] = {};
    int family = AF_INET;
    if (inet_pton(AF_INET, network->hostname.c_str(), net) != 1) {
        family = AF_INET6;
        if (inet_pton(AF_INET6, network->hostname.c_str(), net) != 1) return false;
    }
    if (inet_pton(family, address.c_str(), addr) != 1) return false;
    std::uint32_t bits = std::min<std::uint32_t>(prefix, family == AF_INET ? 32 : 128);
    for (std::uint32_t i = 0; i < bits; ++i) {
        std::uint8_t mask = std::uint8_t(0x80 >> (i % 8));
        if ((net[i / 8] & mask) != (addr[i / 8] & mask)) return false;
    }
    return true;
}

// The nft match of one end of a rule: "ip daddr 10.0.0.0/8 " and the like.
bool appendNetwork(std::string& out, const std::optional<NWHostEndpoint>& network, std::uint32_t prefix,
                   const char* field, std::string& error) {
    if (!network || prefix == 0) return true;
    auto word = addressFamilyWord(network->hostname);
    if (!word) {
        error = "not a network address: " + network->hostname;
        return false;
    }
    out += *word + " " + field + " " + network->hostname + "/" + std::to_string(prefix) + " ";
    return true;
}

}  // namespace

std::optional<std::string> nftScript(const NEFilterSettings& settings, std::string& error) {
    if (settings.defaultAction != NEFilterAction::allow) {
        error = "only allow is supported as the default action";
        return std::nullopt;
    }
    std::string chains[2];  // inbound, outbound
    for (const NEFilterRule& rule : settings.rules) {
        const char* verdict = nullptr;
        if (rule.action == NEFilterAction::filterData) verdict = "";
        else if (rule.action == NEFilterAction::allow) verdict = " accept";
        else {
            error = "only allow and filter-data rules are supported";
            return std::nullopt;
        }
        const NENetworkRule& r = rule.networkRule;
        for (int chain = 0; chain < 2; ++chain) {
            bool inbound = chain == 0;
            if ((inbound && r.direction == NETrafficDirection::outbound) ||
                (!inbound && r.direction == NETrafficDirection::inbound)) {
                continue;
            }
            std::string line = "        ct state new ";
            if (r.protocol == NENetworkRuleProtocol::TCP) line += "meta l4proto tcp ";
            if (r.protocol == NENetworkRuleProtocol::UDP) line += "meta l4proto udp ";
            // Inbound packets come from the remote end; outbound ones go to it.
            if (!appendNetwork(line, r.remoteNetwork, r.remotePrefix, inbound ? "saddr" : "daddr", error) ||
                !appendNetwork(line, r.localNetwork, r.localPrefix, inbound ? "daddr" : "saddr", error)) {
                return std::nullopt;
            }
            line += std::string("counter") + verdict + "\n";
            chains[chain] += line;
        }
    }
    std::string table(kNftTable);
    return "table " + table + "\ndelete table " + table + "\ntable " + table + " {\n" +
           "    chain inbound {\n        type filter hook input priority filter; policy accept;\n" + chains[0] +
           "    }\n" + "    chain outbound {\n        type filter hook output priority filter; policy accept;\n" +
           chains[1] + "    }\n}\n";
}

std::string nftRemovalScript() {
    std::string table(kNftTable);
    return "table " + table + "\ndelete table " + table + "\n";
}

std::optional<std::string> runNft(const std::string& script) {
    int in[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0) return std::string("pipe: ") + std::strerror(errno);
    if (::pipe2(err, O_CLOEXEC) != 0) {
        ::close(in[0]);
        ::close(in[1]);
        return std::string("pipe: ") + std::strerror(errno);
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, err[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    pid_t pid = -1;
    int rc = ENOENT;
    for (const char* path : {"/usr/sbin/nft", "/sbin/nft"}) {
        char* argv[] = {const_cast<char*>(path), const_cast<char*>("-f"), const_cast<char*>("-"), nullptr};
        rc = ::posix_spawn(&pid, path, &actions, nullptr, argv, environ);
        if (rc == 0) break;
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(err[1]);
    if (rc != 0) {
        ::close(in[1]);
        ::close(err[0]);
        return std::string("cannot run nft: ") + std::strerror(rc);
    }
    std::size_t done = 0;
    while (done < script.size()) {
        ssize_t n = ::write(in[1], script.data() + done, script.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += std::size_t(n);
    }
    ::close(in[1]);
    std::string output;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(err[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        output.append(buf, std::size_t(n));
    }
    ::close(err[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return std::nullopt;
    while (!output.empty() && (output.back() == '\n' || output.back() == ' ')) output.pop_back();
    return "nft failed: " + (output.empty() ? std::string("exit status ") + std::to_string(status) : output);
}

NEFilterAction actionFor(const NEFilterSettings& settings, NETrafficDirection direction, int protocol,
                         const std::string& localAddress, const std::string& remoteAddress) {
    for (const NEFilterRule& rule : settings.rules) {
        const NENetworkRule& r = rule.networkRule;
        if (r.direction != NETrafficDirection::any && r.direction != direction) continue;
        if (r.protocol == NENetworkRuleProtocol::TCP && protocol != IPPROTO_TCP) continue;
        if (r.protocol == NENetworkRuleProtocol::UDP && protocol != IPPROTO_UDP) continue;
        if (!networkMatches(r.remoteNetwork, r.remotePrefix, remoteAddress)) continue;
        if (!networkMatches(r.localNetwork, r.localPrefix, localAddress)) continue;
        return rule.action;
    }
    return settings.defaultAction;
}

}  // namespace netext
