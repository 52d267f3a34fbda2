#include "OwnerCapture.h"

#include <cstring>

#if QM_FLOW_OWNER_BPF

#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>

#include "FlowOwnerRecord.h"
#include "ProcInfo.h"
#include "flow_owner.skel.h"

namespace flowowner {

namespace {

#ifndef SO_NETNS_COOKIE
#define SO_NETNS_COOKIE 71
#endif

std::optional<std::uint64_t> networkNamespaceCookie() {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return std::nullopt;
    std::uint64_t cookie = 0;
    socklen_t size = sizeof cookie;
    bool ok = ::getsockopt(fd, SOL_SOCKET, SO_NETNS_COOKIE, &cookie, &size) == 0;
    ::close(fd);
    return ok ? std::optional(cookie) : std::nullopt;
}

// Where the unified (version 2) cgroup hierarchy is mounted: its root sees every socket.
std::optional<std::string> cgroup2Mount() {
    std::ifstream mounts("/proc/self/mounts");
    for (std::string device, point, type, rest; mounts >> device >> point >> type && std::getline(mounts, rest);) {
        if (type == "cgroup2") return point;
    }
    return std::nullopt;
}

// The root of the unified cgroup hierarchy, opened; -1 with the reason in why. The
// hierarchy is one per system: where this mount namespace shows it nowhere (one that
// `ip netns exec` or a container made), it is mounted on a folder of our own just long
// enough to open its root, so that no mount is left behind, even if we are killed.
int openCgroup2Root(std::string& why) {
    if (auto point = cgroup2Mount()) {
        int fd = ::open(point->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) why = "opening " + *point + ": " + std::strerror(errno);
        return fd;
    }
    auto unmounted = [&](const char* step) {
        why = std::string("no cgroup2 hierarchy is mounted, and ") + step + " failed: " + std::strerror(errno);
        return -1;
    };
    char folder[] = "/run/flowspur-cgroup2.XXXXXX";
    char spare[] = "/tmp/flowspur-cgroup2.XXXXXX";
    const char* dir = ::mkdtemp(folder) ? folder : ::mkdtemp(spare);
    if (!dir) return unmounted("making a folder to mount it on");
    if (::mount("cgroup2", dir, "cgroup2", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0) {
        int error = errno;
        ::rmdir(dir);
        errno = error;
        return unmounted("mounting it");
    }
    int fd = ::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int error = errno;
    ::umount2(dir, MNT_DETACH);
    ::rmdir(dir);
    errno = error;
    return fd >= 0 ? fd : unmounted("opening its root");
}

// libbpf's last warning, to say why a load failed (its full verifier log goes nowhere).
std::mutex printMutex;
std::string lastWarning;

int keepWarning(enum libbpf_print_level level, const char* format, va_list args) {
    if (level != LIBBPF_WARN) return 0;
    char line[512];
    int n = std::vsnprintf(line, sizeof line, format, args);
    std::string text(line, n > 0 ? std::min<std::size_t>(std::size_t(n), sizeof line - 1) : 0);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    if (!text.empty()) lastWarning = std::move(text);
    return 0;
}

std::string failure(const char* step, int error) {
    std::string why = std::string(step) + ": " + std::strerror(error < 0 ? -error : error);
    if (!lastWarning.empty()) why += " (" + lastWarning + ")";
    return why;
}

}  // namespace

std::unique_ptr<OwnerCapture> OwnerCapture::load(std::string& why) {
    auto cookie = networkNamespaceCookie();
    if (!cookie) {
        why = std::string("cannot read the network namespace cookie: ") + std::strerror(errno);
        return nullptr;
    }
    std::unique_ptr<OwnerCapture> capture(new OwnerCapture);
    capture->cgroup_ = openCgroup2Root(why);
    if (capture->cgroup_ < 0) return nullptr;

    std::lock_guard lock(printMutex);
    lastWarning.clear();
    libbpf_print_fn_t previous = libbpf_set_print(keepWarning);
    auto fail = [&](const char* step, int error) {
        why = failure(step, error);
        libbpf_set_print(previous);
        return nullptr;
    };

    flow_owner* skel = flow_owner__open();
    if (!skel) return fail("opening the kernel program", errno);
    capture->skeleton_ = skel;
    skel->rodata->target_netns = *cookie;
    if (int e = flow_owner__load(skel)) return fail("loading the kernel program", e);

    struct {
        bpf_program* program;
        bpf_link** link;
        bool cgroup;
    } const attachments[] = {
        {skel->progs.on_exec, &skel->links.on_exec, false},
        {skel->progs.on_send, &skel->links.on_send, false},
        // Before the hooks that record bound sockets, so that none is left behind.
        {skel->progs.on_release, &skel->links.on_release, true},
        {skel->progs.on_state, &skel->links.on_state, false},
        {skel->progs.on_sockops, &skel->links.on_sockops, true},
        {skel->progs.on_sendmsg4, &skel->links.on_sendmsg4, true},
        {skel->progs.on_sendmsg6, &skel->links.on_sendmsg6, true},
        {skel->progs.on_post_bind4, &skel->links.on_post_bind4, true},
        {skel->progs.on_post_bind6, &skel->links.on_post_bind6, true},
    };
    // Executables first, so that no process started meanwhile is missed.
    for (const auto& a : attachments) {
        *a.link = a.cgroup ? bpf_program__attach_cgroup(a.program, capture->cgroup_) : bpf_program__attach(a.program);
        if (!*a.link) return fail((std::string("attaching ") + bpf_program__name(a.program)).c_str(), errno);
        if (a.program == skel->progs.on_send) capture->recordRunningExecutables();
    }
    libbpf_set_print(previous);
    return capture;
}

OwnerCapture::~OwnerCapture() {
    if (skeleton_) flow_owner__destroy(skeleton_);
    if (cgroup_ >= 0) ::close(cgroup_);
}

void OwnerCapture::recordRunningExecutables() const {
    DIR* proc = ::opendir("/proc");
    if (!proc) return;
    int map = bpf_map__fd(skeleton_->maps.exes);
    while (dirent* entry = ::readdir(proc)) {
        char* end = nullptr;
        long pid = std::strtol(entry->d_name, &end, 10);
        if (*end != '\0' || pid <= 0) continue;
        struct stat st;
        std::string exe = "/proc/" + std::string(entry->d_name) + "/exe";
        if (::stat(exe.c_str(), &st) != 0) continue;
        auto path = proc::proc_pidpath(pid_t(pid));
        if (!path || path->size() >= QM_EXE_PATH_MAX) continue;
        qm_exe_key key{};
        key.ino = st.st_ino;
        key.dev = (major(st.st_dev) << 20) | minor(st.st_dev);
        qm_exe_path value{};
        std::memcpy(value.path, path->data(), path->size());
        // What the kernel program saw at an exec is newer than this.
        bpf_map_update_elem(map, &key, &value, BPF_NOEXIST);
    }
    ::closedir(proc);
}

std::optional<Owner> OwnerCapture::find(const FlowEnds& ends) const {
    qm_flow_key key{};
    std::memcpy(key.local, ends.local.data(), 16);
    std::memcpy(key.remote, ends.remote.data(), 16);
    key.local_port = ends.localPort;
    key.remote_port = ends.remotePort;
    key.protocol = std::uint8_t(ends.protocol);
    qm_owner o;
    if (bpf_map_lookup_elem(bpf_map__fd(skeleton_->maps.flows), &key, &o) != 0) return std::nullopt;
    static const std::uint64_t nanosPerTick = 1000000000ull / std::uint64_t(::sysconf(_SC_CLK_TCK));
    Owner owner{pid_t(o.pid), pid_t(o.ppid), o.uid, o.euid, o.gid, o.egid, o.auid, o.sessionid,
                o.start_boottime / nanosPerTick, o.family, std::nullopt};
    qm_exe_path path;
    if (bpf_map_lookup_elem(bpf_map__fd(skeleton_->maps.exes), &o.exe, &path) == 0 && path.path[0]) {
        owner.path = std::string(path.path, strnlen(path.path, sizeof path.path));
    }
    return owner;
}

}  // namespace flowowner

#else

namespace flowowner {

std::unique_ptr<OwnerCapture> OwnerCapture::load(std::string& why) {
    why = QM_FLOW_OWNER_MISSING;
    return nullptr;
}

OwnerCapture::~OwnerCapture() = default;

void OwnerCapture::recordRunningExecutables() const {}

std::optional<Owner> OwnerCapture::find(const FlowEnds&) const { return std::nullopt; }

}  // namespace flowowner

#endif
