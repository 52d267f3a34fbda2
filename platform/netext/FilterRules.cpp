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

bool isAddress(const std::string& address) {
    std::uint8_t buf[16];
    return inet_pton(AF_INET, address.c_str(), buf) == 1 || inet_pton(AF_INET6, address.c_str(), buf) == 1;
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

}  // namespace

std::optional<std::string> settingsError(const NEFilterSettings& settings) {
    if (settings.defaultAction != NEFilterAction::allow) return "only allow is supported as the default action";
    for (const NEFilterRule& rule : settings.rules) {
        if (rule.action != NEFilterAction::filterData && rule.action != NEFilterAction::allow) {
            return "only allow and filter-data rules are supported";
        }
        const NENetworkRule& r = rule.networkRule;
        for (const auto& [network, prefix] : {std::pair(&r.remoteNetwork, r.remotePrefix),
                                              std::pair(&r.localNetwork, r.localPrefix)}) {
            if (*network && prefix != 0 && !isAddress((*network)->hostname)) {
                return "not a network address: " + (*network)->hostname;
            }
        }
    }
    return std::nullopt;
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
