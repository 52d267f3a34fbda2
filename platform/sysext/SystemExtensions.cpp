#include "SystemExtensions.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <future>
#include <thread>
#include <vector>

#include "FilterManager.h"
#include "OSLog.h"
#include "Plist.h"
#include "XPC.h"

namespace sysext {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const oslog::Logger& log() {
    static const oslog::Logger l("com.quillmark.sysext", "OSSystemExtensionManager");
    return l;
}

Error error(OSSystemExtensionErrorCode code, std::string text) {
    return Error{std::string(OSSystemExtensionErrorDomain), int(code), std::move(text)};
}

OSSystemExtensionProperties propertiesOf(const bundle::Bundle& b) {
    return {b.bundleIdentifier().value_or(""),
            b.objectForInfoDictionaryKey("CFBundleVersion").string().value_or(""),
            b.objectForInfoDictionaryKey("CFBundleShortVersionString").string().value_or(""), b.bundlePath()};
}

bool alive(pid_t pid) { return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM); }

std::string commandName(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(in, name);
    return name;
}

// What tells one file from a later one of the same name (inode numbers are reused):
// its inode and change time; nothing when there is no file.
std::optional<std::pair<ino_t, std::int64_t>> fileIdentity(const fs::path& p) {
    struct stat st {};
    if (::lstat(p.c_str(), &st) != 0) return std::nullopt;
    return std::make_pair(st.st_ino, std::int64_t(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec);
}

std::optional<fs::path> findPkexec() {
    for (const char* p : {"/usr/bin/pkexec", "/bin/pkexec", "/usr/local/bin/pkexec"}) {
        if (::access(p, X_OK) == 0) return fs::path(p);
    }
    return std::nullopt;
}

// Starts argv in a session of its own that outlives this process (it is not our
// child, so it never lingers as a zombie); output goes to logPath. Returns its pid.
std::optional<pid_t> spawnDetached(const std::vector<std::string>& args, const fs::path& logPath) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::string log = logPath.string();
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return std::nullopt;
    pid_t child = ::fork();
    if (child < 0) {
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        return std::nullopt;
    }
    if (child == 0) {
        // Only async-signal-safe calls from here on.
        ::setsid();
        pid_t grandchild = ::fork();
        if (grandchild == 0) {
            int in = ::open("/dev/null", O_RDONLY);
            int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (in >= 0) ::dup2(in, 0);
            if (out >= 0) {
                ::dup2(out, 1);
                ::dup2(out, 2);
            }
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        [[maybe_unused]] ssize_t n = ::write(pipeFds[1], &grandchild, sizeof grandchild);
        ::_exit(0);
    }
    ::close(pipeFds[1]);
    pid_t pid = -1;
    ssize_t n = ::read(pipeFds[0], &pid, sizeof pid);
    ::close(pipeFds[0]);
    ::waitpid(child, nullptr, 0);
    if (n != sizeof pid || pid <= 0) return std::nullopt;
    return pid;
}

}  // namespace

// ---- request -------------------------------------------------------------------------

std::shared_ptr<OSSystemExtensionRequest> OSSystemExtensionRequest::activationRequestForExtension(
    std::string identifier, dispatch::DispatchQueue queue) {
    return std::make_shared<OSSystemExtensionRequest>(Tag{}, std::move(identifier), std::move(queue));
}

OSSystemExtensionRequest::OSSystemExtensionRequest(Tag, std::string identifier, dispatch::DispatchQueue queue)
    : identifier_(std::move(identifier)), queue_(std::move(queue)) {}

// ---- manager -------------------------------------------------------------------------

OSSystemExtensionManager& OSSystemExtensionManager::shared() {
    static OSSystemExtensionManager* manager = new OSSystemExtensionManager(
        bundle::Bundle::main().bundlePath() / "Contents" / "Library" / "SystemExtensions",
        xpc::serviceSocketPath("extensions").parent_path() / "extensions");
    return *manager;
}

OSSystemExtensionManager::OSSystemExtensionManager(fs::path extensionsDirectory, fs::path stateDirectory)
    : extensions_(std::move(extensionsDirectory)), state_(std::move(stateDirectory)) {}

void OSSystemExtensionManager::submitRequest(std::shared_ptr<OSSystemExtensionRequest> request) {
    dispatch::DispatchQueue::global().async([this, request] { activate(request); });
}

std::optional<OSSystemExtensionManager::Running> OSSystemExtensionManager::runningExtension(
    const std::string& identifier) const {
    auto record = plist::Plist::readFile(state_ / (identifier + ".plist"));
    if (!record) return std::nullopt;
    plist::PlistNode r = record->root();
    Running running;
    running.pid = pid_t(r["Pid"].integer().value_or(-1));
    running.properties = {identifier, r["CFBundleVersion"].string().value_or(""),
                          r["CFBundleShortVersionString"].string().value_or(""), r["Path"].string().value_or("")};
    std::string exe = r["Executable"].string().value_or("");
    // The pid must still be that executable (the kernel keeps 15 characters of its name).
    if (!alive(running.pid) || commandName(running.pid) != fs::path(exe).filename().string().substr(0, 15)) {
        return std::nullopt;
    }
    return running;
}

void OSSystemExtensionManager::activate(const std::shared_ptr<OSSystemExtensionRequest>& request) {
    auto report = [request](std::function<void(OSSystemExtensionRequestDelegate&)> call) {
        request->queue().async([request, call = std::move(call)] {
            if (auto d = request->delegate()) call(*d);
        });
    };
    auto fail = [&](Error e) {
        log().error("activation of %{public}s failed: %{public}s", request->identifier(), e.localizedDescription);
        report([request, e](OSSystemExtensionRequestDelegate& d) { d.didFailWithError(*request, e); });
    };
    auto complete = [&] {
        report([request](OSSystemExtensionRequestDelegate& d) {
            d.didFinishWithResult(*request, OSSystemExtensionRequestResult::completed);
        });
    };

    // The extension's bundle.
    std::optional<bundle::Bundle> found;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(extensions_, ec)) {
        auto b = bundle::Bundle::open(entry.path());
        if (b && b->bundleIdentifier() == request->identifier()) {
            found = std::move(b);
            break;
        }
    }
    if (!found) {
        return fail(error(OSSystemExtensionErrorCode::extensionNotFound,
                          "No system extension " + request->identifier() + " in " + extensions_.string() + "."));
    }
    OSSystemExtensionProperties properties = propertiesOf(*found);
    auto exe = found->executablePath();
    if (!exe) {
        return fail(error(OSSystemExtensionErrorCode::unknown, "The system extension " + request->identifier() +
                                                                   " names no executable."));
    }

    // One that runs already: kept when it is the same version, else replaced if the
    // delegate agrees.
    if (auto running = runningExtension(request->identifier())) {
        const auto& old = running->properties;
        if (old.bundleVersion == properties.bundleVersion && old.bundleShortVersion == properties.bundleShortVersion) {
            return complete();
        }
        std::promise<OSSystemExtensionReplacementAction> answer;
        request->queue().async([&answer, request, old, properties] {
            auto d = request->delegate();
            answer.set_value(d ? d->actionForReplacingExtension(*request, old, properties)
                               : OSSystemExtensionReplacementAction::cancel);
        });
        if (answer.get_future().get() != OSSystemExtensionReplacementAction::replace) {
            return fail(error(OSSystemExtensionErrorCode::requestCanceled, "The request was canceled."));
        }
        ::kill(running->pid, SIGTERM);
        auto end = std::chrono::steady_clock::now() + 10s;
        while (alive(running->pid) && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(20ms);
        if (alive(running->pid)) {
            return fail(error(OSSystemExtensionErrorCode::unknown,
                              "The running system extension (process " + std::to_string(running->pid) +
                                  ") did not stop."));
        }
    }

    // Start it with the privileges it needs, on the filter configuration file of this
    // application (pkexec would not pass on the environment that chooses it).
    std::vector<std::string> argv;
    const std::vector<std::string> arguments = {std::string(netext::kFilterConfigurationOption),
                                                netext::filterConfigurationPath().string()};
    auto patience = 30s;
    if (::geteuid() == 0) {
        argv = {exe->string()};
    } else if (auto pkexec = findPkexec()) {
        report([request](OSSystemExtensionRequestDelegate& d) { d.requestNeedsUserApproval(*request); });
        argv = {pkexec->string(), exe->string()};
        patience = 300s;  // the user decides meanwhile
    } else {
        return fail(error(OSSystemExtensionErrorCode::authorizationRequired,
                          "Activating the system extension needs root: run Quillmark as root, or install pkexec "
                          "so that it can ask for permission."));
    }
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    fs::create_directories(state_, ec);
    fs::path logPath = state_ / (request->identifier() + ".log");
    auto service = found->objectForInfoDictionaryKey("NetworkExtension")["NEMachServiceName"].string();
    auto before = service ? fileIdentity(xpc::serviceConnectPath(*service)) : std::nullopt;
    auto pid = spawnDetached(argv, logPath);
    if (!pid) return fail(error(OSSystemExtensionErrorCode::unknown, "Cannot start " + exe->string() + "."));

    // Up once it listens on its service (a new socket file), or, without a service,
    // once it has started.
    auto end = std::chrono::steady_clock::now() + patience;
    bool up = !service;
    while (!up && alive(*pid) && std::chrono::steady_clock::now() < end) {
        auto now = fileIdentity(xpc::serviceConnectPath(*service));
        up = now && now != before;
        if (!up) std::this_thread::sleep_for(20ms);
    }
    if (!up || !alive(*pid)) {
        if (alive(*pid)) ::kill(*pid, SIGTERM);
        return fail(error(OSSystemExtensionErrorCode::unknown,
                          "The system extension ended or did not start listening; its log is " + logPath.string() +
                              "."));
    }

    plist::Plist record = plist::Plist::dictionary();
    record.set("Pid", plist::Plist::integer(*pid));
    record.set("Executable", plist::Plist::string(exe->string()));
    record.set("Path", plist::Plist::string(found->bundlePath().string()));
    record.set("CFBundleVersion", plist::Plist::string(properties.bundleVersion));
    record.set("CFBundleShortVersionString", plist::Plist::string(properties.bundleShortVersion));
    if (auto e = record.writeXMLFile(state_ / (request->identifier() + ".plist"))) log().error("%{public}s", *e);
    log().info("activated %{public}s (process %d)", request->identifier(), *pid);
    complete();
}

}  // namespace sysext
