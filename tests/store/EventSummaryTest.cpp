#include <gtest/gtest.h>

#include <algorithm>
#include <bitset>
#include <functional>

#include "DefaultSettings.h"
#include "EventSummary.h"
#include "FixtureGenerator.h"
#include "StoreTestSupport.h"
#include "TextForms.h"

using namespace storetest;
using namespace es;

namespace {

// Enum values by raw number: the C headers define several case names as macros.
template <class E>
E raw(std::int64_t v) {
    return static_cast<E>(v);
}

const ESProcess victim = process("/bin/victim");
const ESProcess dscl = process("/usr/bin/dscl");
const ESFile tmpFile = file("/tmp/f");

template <class T>
ESEvent withTarget(ESFile target = tmpFile) {
    T e;
    e.target = std::move(target);
    return e;
}

template <class T>
ESEvent withProcessTarget() {
    T e;
    e.target = victim;
    return e;
}

template <class T>
ESEvent getTask(std::int64_t type) {
    T e;
    e.target = victim;
    e.type = raw<ESGetTaskType>(type);
    return e;
}

template <class T>
ESEvent mountOf() {
    T e;
    e.statfs.f_mntonname = "/Volumes/X";
    e.statfs.f_mntfromname = "/dev/disk2s1";
    e.statfs.f_fstypename = "apfs";
    return e;
}

template <class T>
ESEvent extattr(const char* name) {
    T e;
    e.target = file("/d/app.dmg");
    e.extattr = name;
    return e;
}

template <class T>
ESEvent user(const char* name) {
    T e;
    e.username = name;
    return e;
}

template <class T>
ESEvent od(std::int64_t error, std::function<void(T&)> fill) {
    T e;
    e.instigator = dscl;
    e.error_code = error;
    fill(e);
    return e;
}

template <class R>
R instigatedBy(const char* path) {
    R r;
    r.instigator = process(path);
    return r;
}

template <class T>
ESEvent build(std::function<void(T&)> fill) {
    T e;
    fill(e);
    return e;
}

struct Case {
    const char* what;
    ESEvent event;
    const char* shortText;
    const char* fullText;
};

// Every event kind, at least once, with the texts its rule gives.
const std::vector<Case>& cases() {
    static const std::vector<Case> all = [] {
        const std::int64_t knownOD = 1000;  // kODErrorSessionLocalOnlyDaemonInUse
        std::vector<Case> c{
            {"exec", build<ESEvent_exec>([](auto& e) { e.target = process("/bin/ls"), e.args = std::vector<std::string>{"ls", "-la", "/tmp"}; }),
             "actor -> ls -la /tmp", "/usr/bin/actor -> /bin/ls -la /tmp"},
            {"exec, only its own name", build<ESEvent_exec>([](auto& e) { e.target = process("/bin/ls"), e.args = std::vector<std::string>{"ls"}; }),
             "actor -> ls ", "/usr/bin/actor -> /bin/ls "},
            {"exec, no args", build<ESEvent_exec>([](auto& e) { e.target = process("/bin/ls"); }), "actor -> ls ", "/usr/bin/actor -> /bin/ls "},
            {"fork", build<ESEvent_fork>([](auto& e) { e.child = process("/bin/child"); }), "child", "/bin/child"},
            {"rename to new path", build<ESEvent_rename>([](auto& e) {
                 e.source = file("/a/b.txt");
                 e.destination_type = raw<ESDestinationType>(1);
                 e.destination.new_path = {file("/c"), "d.txt"};
             }), "b.txt -> d.txt", "/a/b.txt -> /c/d.txt"},
            {"rename to existing file", build<ESEvent_rename>([](auto& e) {
                 e.source = file("/a/b.txt");
                 e.destination_type = raw<ESDestinationType>(0);
                 e.destination.existing_file = file("/c/e.txt");
             }), "b.txt -> e.txt", "/a/b.txt -> /c/e.txt"},
            {"rename, named record missing", build<ESEvent_rename>([](auto& e) {
                 e.source = file("/a/b.txt");
                 e.destination_type = raw<ESDestinationType>(1);
                 e.destination.existing_file = file("/c/e.txt");
             }), "b.txt -> ", "/a/b.txt -> /"},
            {"open", openOf("/etc/hosts"), "hosts", "/etc/hosts"},
            {"close modified", build<ESEvent_close>([](auto& e) { e.modified = true, e.target = tmpFile; }), "f WAS modified", "/tmp/f"},
            {"close unmodified", build<ESEvent_close>([](auto& e) { e.target = tmpFile; }), "f was NOT modified", "/tmp/f"},
            {"create new path", build<ESEvent_create>([](auto& e) {
                 e.destination_type = raw<ESDestinationType>(1);
                 e.destination.new_path = {file("/tmp"), "new.txt", 0644};
             }), "new.txt", "/tmp/new.txt"},
            {"create existing file", build<ESEvent_create>([](auto& e) {
                 e.destination_type = raw<ESDestinationType>(0);
                 e.destination.existing_file = file("/tmp/old.txt");
             }), "old.txt", "/tmp/old.txt"},
            {"create, named record missing", build<ESEvent_create>([](auto& e) { e.destination_type = raw<ESDestinationType>(0); }), "", ""},
            {"exchangedata", ESEvent_exchangedata{file("/a"), file("/b")}, "", ""},
            {"exit", ESEvent_exit{-256}, "-256", ""},
            {"get_task", getTask<ESEvent_get_task>(0), "actor -TASK_FOR_PID-> victim", "/usr/bin/actor -TASK_FOR_PID-> /bin/victim"},
            {"get_task_name", getTask<ESEvent_get_task_name>(1), "actor -EXPOSE_TASK-> victim", "/usr/bin/actor -EXPOSE_TASK-> /bin/victim"},
            {"get_task_read", getTask<ESEvent_get_task_read>(2), "actor -IDENTITY_TOKEN-> victim", "/usr/bin/actor -IDENTITY_TOKEN-> /bin/victim"},
            {"get_task_inspect", getTask<ESEvent_get_task_inspect>(0), "actor -TASK_FOR_PID-> victim", "/usr/bin/actor -TASK_FOR_PID-> /bin/victim"},
            {"kextload", ESEvent_kextload{"com.x.kext"}, "", ""},
            {"kextunload", ESEvent_kextunload{"com.x.kext"}, "", ""},
            {"link", build<ESEvent_link>([](auto& e) { e.source = file("/a/src"), e.target_dir = file("/b"), e.target_filename = "lnk"; }),
             "src -> lnk", "/a/src -> /b/lnk"},
            {"mmap", build<ESEvent_mmap>([](auto& e) { e.source = file("/usr/lib/libx.dylib"); }), "libx.dylib", "/usr/lib/libx.dylib"},
            {"mprotect", ESEvent_mprotect{}, "", ""},
            {"mount", mountOf<ESEvent_mount>(), "/Volumes/X", "/dev/disk2s1 -apfs-> /Volumes/X"},
            {"unmount", mountOf<ESEvent_unmount>(), "/Volumes/X", "/dev/disk2s1 -apfs-> /Volumes/X"},
            {"remount", mountOf<ESEvent_remount>(), "/Volumes/X", "/dev/disk2s1 -apfs-> /Volumes/X"},
            {"iokit_open", build<ESEvent_iokit_open>([](auto& e) { e.user_client_class = "IOHIDLibUserClient"; }), "IOHIDLibUserClient", ""},
            {"setattrlist", withTarget<ESEvent_setattrlist>(), "f", "/tmp/f"},
            {"setextattr", extattr<ESEvent_setextattr>("com.apple.quarantine"), "com.apple.quarantine set for app.dmg",
             "com.apple.quarantine set for /d/app.dmg"},
            {"getextattr", extattr<ESEvent_getextattr>("x"), "x read from app.dmg", "x read from /d/app.dmg"},
            {"deleteextattr", extattr<ESEvent_deleteextattr>("x"), "x removed from app.dmg", "x removed from /d/app.dmg"},
            {"setflags", withTarget<ESEvent_setflags>(), "/tmp/f", ""},
            {"setmode", withTarget<ESEvent_setmode>(), "f", "/tmp/f"},
            {"access", withTarget<ESEvent_access>(), "f", "/tmp/f"},
            {"setowner", build<ESEvent_setowner>([](auto& e) { e.uid = 501, e.gid = 20, e.target = tmpFile; }),
             "uid: 501 gid: 20 for f", "uid: 501 gid: 20 for /tmp/f"},
            {"signal", build<ESEvent_signal>([](auto& e) { e.sig = raw<SignalType>(9), e.target = victim; }),
             "actor -SIGKILL-> victim", "/usr/bin/actor -SIGKILL-> /bin/victim"},
            {"unlink", withTarget<ESEvent_unlink>(), "f", "/tmp/f"},
            {"write", withTarget<ESEvent_write>(), "f", "/tmp/f"},
            {"truncate", withTarget<ESEvent_truncate>(), "f", "/tmp/f"},
            {"stat", withTarget<ESEvent_stat>(), "f", "/tmp/f"},
            {"utimes", withTarget<ESEvent_utimes>(), "f", "/tmp/f"},
            {"listextattr", withTarget<ESEvent_listextattr>(), "f", "/tmp/f"},
            {"dup", withTarget<ESEvent_dup>(), "f", "/tmp/f"},
            {"dup of a directory path with a trailing slash", withTarget<ESEvent_dup>(file("/tmp/dir/")), "dir", "/tmp/dir/"},
            {"dup of the root", withTarget<ESEvent_dup>(file("/")), "/", "/"},
            {"file_provider_materialize", build<ESEvent_file_provider_materialize>([](auto& e) { e.source = file("/a/s"), e.target = file("/b/t"); }),
             "s -> t", "/a/s -> /b/t"},
            {"file_provider_update", build<ESEvent_file_provider_update>([](auto& e) { e.source = file("/a/s"), e.target_path = "/b/c/t/"; }),
             "s -> t", "/a/s -> /b/c/t/"},
            {"readlink", build<ESEvent_readlink>([](auto& e) { e.source = file("/tmp/link"); }), "/tmp/link", ""},
            {"lookup", build<ESEvent_lookup>([](auto& e) { e.source_dir = file("/tmp"), e.relative_target = "a/b"; }), "b", "/tmpa/b"},
            {"chdir", withTarget<ESEvent_chdir>(), "/tmp/f", ""},
            {"chroot", withTarget<ESEvent_chroot>(), "/tmp/f", ""},
            {"readdir", withTarget<ESEvent_readdir>(), "/tmp/f", ""},
            {"fsgetpath", withTarget<ESEvent_fsgetpath>(), "/tmp/f", ""},
            {"getattrlist", withTarget<ESEvent_getattrlist>(), "/tmp/f", ""},
            {"searchfs", withTarget<ESEvent_searchfs>(), "/tmp/f", ""},
            {"clone", build<ESEvent_clone>([](auto& e) { e.source = file("/a/s"), e.target_dir = file("/b"), e.target_name = "t"; }),
             "s -> t", "/a/s -> /b/t"},
            {"copyfile", build<ESEvent_copyfile>([](auto& e) { e.source = file("/a/s"), e.targetdir = file("/b"), e.target_name = "t"; }),
             "s -> t", "/a/s -> /b/t"},
            {"fcntl", build<ESEvent_fcntl>([](auto& e) { e.target = tmpFile, e.cmd = 4; }), "f -> 4", "/tmp/f"},
            {"uipc_bind", build<ESEvent_uipc_bind>([](auto& e) { e.dir = file("/tmp"), e.filename = "sock"; }), "sock", "/tmp/sock"},
            {"uipc_connect", build<ESEvent_uipc_connect>([](auto& e) {
                 e.file = file("/tmp/sock");
                 e.domain = raw<ESSocketDomain>(2);
                 e.type = raw<ESSocketType>(1);
                 e.proto = raw<ESIPProtocol>(6);
             }), "AF_INET : SOCK_STREAM : TCP -> /tmp/sock", ""},
            {"setacl", withTarget<ESEvent_setacl>(file("/a/b/c")), "(path: \"/a/b\", filename: \"c\")", "/a/b/c"},
            {"setacl in the root", withTarget<ESEvent_setacl>(file("/c\"q")), "(path: \"/\", filename: \"c\\\"q\")", "/c\"q"},
            {"pty_grant", ESEvent_pty_grant{}, "", ""},
            {"pty_close", ESEvent_pty_close{}, "", ""},
            {"proc_check", build<ESEvent_proc_check>([](auto& e) { e.target = victim, e.type = raw<ESProcCheckType>(2); }),
             "actor -PIDINFO-> victim", "/usr/bin/actor -PIDINFO-> /bin/victim"},
            {"proc_check without target", build<ESEvent_proc_check>([](auto& e) { e.type = raw<ESProcCheckType>(14); }),
             "actor -INFO-> ", "/usr/bin/actor -INFO-> "},
            {"proc_suspend_resume without target", build<ESEvent_proc_suspend_resume>([](auto& e) { e.type = raw<ESProcSuspendResumeType>(0); }),
             "suspend", ""},
            {"proc_suspend_resume with target", build<ESEvent_proc_suspend_resume>([](auto& e) {
                 e.target = victim;
                 e.type = raw<ESProcSuspendResumeType>(3);
             }), "Resume shutdown_sockets for victim", "Resume shutdown_sockets for /bin/victim"},
            {"trace", withProcessTarget<ESEvent_trace>(), "actor -> victim", "/usr/bin/actor -> /bin/victim"},
            {"remote_thread_create", withProcessTarget<ESEvent_remote_thread_create>(), "actor -> victim", "/usr/bin/actor -> /bin/victim"},
            {"setuid", ESEvent_setuid{0}, "to uid: 0", ""},
            {"setgid", ESEvent_setgid{20}, "to gid: 20", ""},
            {"seteuid", ESEvent_seteuid{0}, "to euid: 0", ""},
            {"setegid", ESEvent_setegid{20}, "to egid: 20", ""},
            {"setreuid", ESEvent_setreuid{501, 0}, "euid: 0 ruid: 501", ""},
            {"setregid", ESEvent_setregid{20, 0}, "egid: 0 rgid: 20", ""},
            {"authentication od", build<ESEvent_authentication>([](auto& e) {
                 e.type = raw<ESAuthenticationType>(0);
                 e.data.od = instigatedBy<ESAuthenticationOd>("/usr/bin/login");
             }), "OD auth from login", "OD auth from /usr/bin/login"},
            {"authentication touch id", build<ESEvent_authentication>([](auto& e) {
                 e.type = raw<ESAuthenticationType>(1);
                 e.data.touchid = instigatedBy<ESAuthenticationTouchId>("/usr/bin/sudo");
             }), "TOUCH ID auth from sudo", "TOUCH ID auth from /usr/bin/sudo"},
            {"authentication token", build<ESEvent_authentication>([](auto& e) {
                 e.type = raw<ESAuthenticationType>(2);
                 e.data.token = instigatedBy<ESAuthenticationToken>("/bin/tk");
             }), "TOKEN auth from tk", "TOKEN auth from /bin/tk"},
            {"authentication token, record missing", build<ESEvent_authentication>([](auto& e) { e.type = raw<ESAuthenticationType>(2); }),
             "TOKEN auth from ", "TOKEN auth from "},
            {"authentication auto unlock", build<ESEvent_authentication>([](auto& e) {
                 e.type = raw<ESAuthenticationType>(3);
                 e.data.auto_unlock = ESAuthenticationAutoUnlock{"bob"};
             }), "AUTO UNLOCK auth from bob", ""},
            {"authentication last", build<ESEvent_authentication>([](auto& e) { e.type = raw<ESAuthenticationType>(4); }), "None auth from ", ""},
            {"xp_malware_detected", build<ESEvent_xp_malware_detected>([](auto& e) { e.malware_identifier = "OSX.Bad", e.detected_path = "/tmp/bad"; }),
             "OSX.Bad", "OSX.Bad found at /tmp/bad"},
            {"xp_malware_remediated", build<ESEvent_xp_malware_remediated>([](auto& e) {
                 e.malware_identifier = "OSX.Bad", e.success = true, e.action_type = "path_delete";
             }), "OSX.Bad WAS remediated", "OSX.Bad WAS remediated with path_delete for (unknown)"},
            {"xp_malware_remediated failed", build<ESEvent_xp_malware_remediated>([](auto& e) {
                 e.malware_identifier = "OSX.Bad", e.action_type = "path_delete", e.remediated_path = "/tmp/bad";
             }), "OSX.Bad was NOT remediated", "OSX.Bad was NOT remediated with path_delete for /tmp/bad"},
            {"lw_session_login", user<ESEvent_lw_session_login>("alice"), "alice", ""},
            {"lw_session_logout", user<ESEvent_lw_session_logout>("alice"), "alice", ""},
            {"lw_session_lock", user<ESEvent_lw_session_lock>("alice"), "alice", ""},
            {"lw_session_unlock", user<ESEvent_lw_session_unlock>("alice"), "alice", ""},
            {"login_logout", user<ESEvent_login_logout>("alice"), "alice", ""},
            {"screensharing_attach", build<ESEvent_screensharing_attach>([](auto& e) {
                 e.success = true, e.source_address = "10.0.0.2", e.session_username = "alice";
             }), "ACCEPTED from 10.0.0.2 to username alice", "ACCEPTED from 10.0.0.2 viewer appleid (unknown) to username alice"},
            {"screensharing_attach denied", build<ESEvent_screensharing_attach>([](auto& e) { e.viewer_appleid = "v@x"; }),
             "DENIED from (unknown) to username (unknown)", "DENIED from (unknown) viewer appleid v@x to username (unknown)"},
            {"screensharing_detach", build<ESEvent_screensharing_detach>([](auto& e) { e.viewer_appleid = "v@x"; }),
             "from (unknown) viewer appleid v@x", ""},
            {"openssh_login", build<ESEvent_openssh_login>([](auto& e) { e.username = "bob", e.source_address = "1.2.3.4"; }),
             "DENIED for bob from 1.2.3.4", ""},
            {"openssh_logout", build<ESEvent_openssh_logout>([](auto& e) { e.uid = 501, e.username = "bob", e.source_address = "1.2.3.4"; }),
             "uid: 501 for bob from 1.2.3.4", ""},
            {"login_login", build<ESEvent_login_login>([](auto& e) { e.success = true, e.username = "alice"; }), "Successful login from: alice ", ""},
            {"login_login failed", build<ESEvent_login_login>([](auto& e) { e.username = "alice"; }), "Failed login from: alice [failure: unknown]", ""},
            {"login_login failed with reason", build<ESEvent_login_login>([](auto& e) { e.username = "alice", e.failure_message = "bad"; }),
             "Failed login from: alice [failure: bad]", ""},
            {"btm_launch_item_add", build<ESEvent_btm_launch_item_add>([](auto& e) {
                 e.executable_path = "/Applications/X.app/Contents/MacOS/X";
                 e.item.item_url = "file:///Library/LaunchAgents/com.x.plist";
             }), "X -> com.x.plist", "/Applications/X.app/Contents/MacOS/X -> file:///Library/LaunchAgents/com.x.plist"},
            {"btm_launch_item_add without executable", build<ESEvent_btm_launch_item_add>([](auto& e) { e.item.item_url = "file:///L/a.plist"; }),
             "[] -> a.plist", "[] -> file:///L/a.plist"},
            {"btm_launch_item_remove", build<ESEvent_btm_launch_item_remove>([](auto& e) { e.item.item_url = "file:///L/a.plist"; }),
             "file:///L/a.plist", ""},
            {"authorization_judgement", build<ESEvent_authorization_judgement>([](auto& e) {
                 e.instigator = process("/usr/sbin/authd");
                 e.petitioner = process("/bin/pet");
                 e.results = std::vector<ESAuthResult>{{"a", {}, true}, {"b", {}, false}};
             }), "pet requested 2-rights", "authd on behalf of pet results [\"a [YES]\", \"b [NO]\"]"},
            {"authorization_judgement bare", build<ESEvent_authorization_judgement>([](auto& e) { e.instigator = process("/usr/sbin/authd"); }),
             "(unknown) requested 0-rights", "authd on behalf of (unknown) results []"},
            {"authorization_petition", build<ESEvent_authorization_petition>([](auto& e) {
                 e.instigator = process("/usr/sbin/authd");
                 e.petitioner = process("/bin/pet");
                 e.rights = std::vector<std::string>{"system.x", "y\\z"};
             }), "pet requested 2-rights first is system.x", "authd on behalf of pet requested [\"system.x\", \"y\\\\z\"]"},
            {"authorization_petition bare", build<ESEvent_authorization_petition>([](auto& e) { e.instigator = process("/usr/sbin/authd"); }),
             "(unknown) requested 0-rights first is ", "authd on behalf of (unknown) requested [\"(unknown)\"]"},
            {"od_attribute_set", od<ESEvent_od_attribute_set>(0, [](auto& e) { e.record_name = "alice", e.attribute_name = "shell"; }),
             "record:alice set attribute shell by dscl", ""},
            {"od_attribute_value_add", od<ESEvent_od_attribute_value_add>(knownOD, [](auto& e) { e.record_name = "alice", e.attribute_name = "shell"; }),
             "record:alice mod error [1000:kODErrorSessionLocalOnlyDaemonInUse] attribute shell by dscl", ""},
            {"od_attribute_value_remove", od<ESEvent_od_attribute_value_remove>(0, [](auto& e) { e.record_name = "alice", e.attribute_name = "shell"; }),
             "record:alice removed attribute shell by dscl", ""},
            {"od_create_group", od<ESEvent_od_create_group>(0, [](auto& e) { e.group_name = "staff"; }), "grp:staff was created by dscl", ""},
            {"od_create_user", od<ESEvent_od_create_user>(0, [](auto& e) { e.user_name = "alice"; }), "usr:alice was created by dscl", ""},
            {"od_create_user known error", od<ESEvent_od_create_user>(knownOD, [](auto& e) { e.user_name = "alice"; }),
             "usr:alice was create error [1000:kODErrorSessionLocalOnlyDaemonInUse] by dscl", ""},
            {"od_create_user unknown error", od<ESEvent_od_create_user>(-7, [](auto& e) { e.user_name = "alice"; }),
             "usr:alice was create error [-7:] by dscl", ""},
            {"od_delete_group", od<ESEvent_od_delete_group>(0, [](auto& e) { e.group_name = "staff"; }), "grp:staff was deleted by dscl", ""},
            {"od_delete_user failed", od<ESEvent_od_delete_user>(knownOD, [](auto& e) { e.user_name = "alice"; }),
             "alice was delete error [1000:kODErrorSessionLocalOnlyDaemonInUse] by dscl", ""},
            {"od_disable_user", od<ESEvent_od_disable_user>(0, [](auto& e) { e.user_name = "alice"; }), "alice was disabled by dscl", ""},
            {"od_enable_user", od<ESEvent_od_enable_user>(0, [](auto& e) { e.user_name = "alice"; }), "alice was enabled by dscl", ""},
            {"od_group_add", od<ESEvent_od_group_add>(0, [](auto& e) { e.group_name = "staff", e.member.member_value = "bob"; }),
             "grp:staff added bob", "staff added bob by dscl"},
            {"od_group_remove", od<ESEvent_od_group_remove>(0, [](auto& e) { e.group_name = "staff", e.member.member_value = "bob"; }),
             "grp:staff removed bob", "staff removed bob by dscl"},
            {"od_group_set", od<ESEvent_od_group_set>(0, [](auto& e) { e.group_name = "staff", e.members.member_array = {"a", "b"}; }),
             "grp:staff set 2-members", "staff set [\"a\", \"b\"] by dscl"},
            {"od_modify_password", od<ESEvent_od_modify_password>(0, [](auto& e) { e.account_name = "alice"; }),
             "alice password modified by dscl", ""},
            {"profile_add", build<ESEvent_profile_add>([](auto& e) {
                 e.instigator = process("/usr/bin/profiled");
                 e.profile.install_source = raw<ESProfileSource>(1), e.profile.display_name = "Wi-Fi", e.profile.scope = "System";
             }), "LOCAL_INSTALL of \"Wi-Fi\"", "profiled - LOCAL_INSTALL of System titled \"Wi-Fi\""},
            {"profile_remove", build<ESEvent_profile_remove>([](auto& e) {
                 e.instigator = process("/usr/bin/profiled");
                 e.profile.install_source = raw<ESProfileSource>(0), e.profile.display_name = "VPN", e.profile.scope = "User";
             }), "MDM_MANAGED of \"VPN\"", "profiled - MDM_MANAGED of User titled \"VPN\""},
            {"su", build<ESEvent_su>([](auto& e) { e.success = true, e.from_uid = 501, e.from_username = "alice", e.to_uid = 0, e.to_username = "root"; }),
             "alice -SWITCHED-> root", "alice[501] -SWITCHED-> root[0]"},
            {"su denied", build<ESEvent_su>([](auto& e) { e.from_uid = 501, e.from_username = "alice"; }),
             "alice -DENIED-> (unknown)", "alice[501] -DENIED-> (unknown)[-1]"},
            {"sudo", build<ESEvent_sudo>([](auto& e) {
                 e.success = true, e.from_uid = 501, e.from_username = "alice", e.to_uid = 0, e.to_username = "root", e.command = "/bin/ls";
             }), "EXECUTED \"/bin/ls\" as root", "alice[501] EXECUTED \"/bin/ls\" as root[0]"},
            {"sudo denied", ESEvent_sudo{}, "DENIED \"(unknown)\" as (unknown)", "(unknown)[-1] DENIED \"(unknown)\" as (unknown)[-1]"},
            {"xpc_connect", build<ESEvent_xpc_connect>([](auto& e) { e.service_name = "com.x.svc", e.service_domain_type = raw<ESXPCDomainType>(3); }),
             "com.x.svc [user_login]", ""},
            {"settime", ESEvent_settime{}, "", ""},
            {"cs_invalidated", ESEvent_cs_invalidated{}, "", ""},
        };
        auto flow = [](std::function<void(ESEvent_networkflow&)> fill) {
            ESEvent_networkflow e;
            e.flow_protocol = raw<ESIPProtocol>(6);
            e.direction = "outbound";
            fill(e);
            return ESEvent(e);
        };
        std::vector<Case> flows{
            {"networkflow outbound", flow([](auto& e) {
                 e.local_address = "192.168.1.2", e.local_port = "51000", e.remote_address = "17.1.1.1", e.remote_port = "443";
                 e.remote_hostname = "example.com", e.url = "https://example.com/";
             }), "192.168.1.2:51000 -TCP-> 17.1.1.1:https",
             "[https://example.com/ 51000:https] 192.168.1.2:51000 -TCP-> 17.1.1.1:443 [example.com]"},
            {"networkflow dns over udp", flow([](auto& e) {
                 e.flow_protocol = raw<ESIPProtocol>(17);
                 e.local_address = "10.0.0.1", e.local_port = "5353", e.remote_address = "8.8.8.8", e.remote_port = "53";
                 e.remote_hostname = "example.org";
             }), "DNS lookup for example.org", "[ mdns-bonjour:dns] 10.0.0.1:5353 -UDP-> 8.8.8.8:53 [example.org]"},
            {"networkflow port 53 over tcp", flow([](auto& e) {
                 e.local_address = "10.0.0.1", e.local_port = "5353", e.remote_address = "8.8.8.8", e.remote_port = "53";
             }), "10.0.0.1:mdns-bonjour -TCP-> 8.8.8.8:dns", "[ mdns-bonjour:dns] 10.0.0.1:5353 -TCP-> 8.8.8.8:53 []"},
            {"networkflow inbound, any address, port 0", flow([](auto& e) {
                 e.flow_protocol = raw<ESIPProtocol>(17), e.direction = "inbound", e.local_address = "0.0.0.0", e.local_port = "0";
             }), "ANY <-UDP- null", "[ 0:null] 0.0.0.0:0 <-UDP- null:null []"},
            {"networkflow any address with a known port", flow([](auto& e) {
                 e.local_address = "0.0.0.0", e.local_port = "443", e.remote_address = "1.1.1.1";
             }), "ANY:https -TCP-> 1.1.1.1:null", "[ https:null] 0.0.0.0:443 -TCP-> 1.1.1.1:null []"},
            {"networkflow port text that is no number", flow([](auto& e) {
                 e.local_address = "::1", e.local_port = "abc", e.remote_address = "::2", e.remote_port = "31337";
             }), "::1:abc -TCP-> ::2:BackOrifice", "[ abc:BackOrifice] ::1:abc -TCP-> ::2:31337 []"},
        };
        c.insert(c.end(), flows.begin(), flows.end());
        return c;
    }();
    return all;
}

}  // namespace

TEST(EventSummary, EveryEventKindByItsRule) {
    std::bitset<ESEvent::caseCount> covered;
    for (const auto& c : cases()) {
        auto it = item(message(c.event, process("/usr/bin/actor")));
        auto s = qm::eventSummary(*it);
        EXPECT_EQ(s.shortText, c.shortText) << c.what;
        EXPECT_EQ(s.fullText, c.fullText) << c.what;
        covered.set(c.event.tag());
    }
    for (std::size_t tag = 0; tag < ESEvent::caseCount; ++tag) EXPECT_TRUE(covered[tag]) << "no case for " << eventKeys[tag];
}

// One buffer reused for every kind, each event after a longer one (the hand cases,
// then generated events of every kind), holds exactly what a fresh summary gives:
// no text left over from the event before, none cut short.
TEST(EventSummary, ReusedBufferGivesTheFreshTexts) {
    std::vector<qm::EventItemPtr> items;
    for (const auto& c : cases()) items.push_back(item(message(c.event, process("/usr/bin/actor"))));
    fixtures::FixtureGenerator generator(11);
    for (int round = 0; round < 3; ++round)
        for (std::size_t tag = 0; tag < ESEvent::caseCount; ++tag) items.push_back(item(generator.next(tag), quietAnnotator()));
    auto length = [](const qm::EventItemPtr& it) {
        auto s = qm::eventSummary(*it);
        return s.shortText.size() + s.fullText.size();
    };
    std::stable_sort(items.begin(), items.end(), [&](const auto& a, const auto& b) { return length(a) > length(b); });

    qm::EventSummary reused;
    for (const auto& it : items) {
        qm::EventSummary fresh;  // never used before
        qm::eventSummary(*it, fresh);
        qm::eventSummary(*it, reused);
        EXPECT_EQ(reused.shortText, fresh.shortText) << eventKeys[it->theEvent().event.tag()];
        EXPECT_EQ(reused.fullText, fresh.fullText) << eventKeys[it->theEvent().event.tag()];
        EXPECT_EQ(qm::eventSearchText(*it), fresh.searchText()) << eventKeys[it->theEvent().event.tag()];
        EXPECT_EQ(qm::eventSummary(*it).fullText, fresh.fullText) << eventKeys[it->theEvent().event.tag()];
    }
}

TEST(EventSummary, SearchTextIsTheFullTextUnlessEmpty) {
    qm::EventSummary fileEvent{"f", "/tmp/f"}, userEvent{"alice", ""};
    EXPECT_EQ(fileEvent.searchText(), "/tmp/f");
    EXPECT_EQ(userEvent.searchText(), "alice");
}

TEST(EventSummary, PortNames) {
    const std::pair<std::int64_t, std::optional<std::string_view>> cases[] = {
        {22, "ssh"}, {445, "SMB"}, {5223, "apple-push"}, {31337, "BackOrifice"}, {0, std::nullopt}, {444, std::nullopt}, {-1, std::nullopt}};
    for (auto [port, name] : cases) EXPECT_EQ(qm::portName(port), name) << port;
}

// Generated captures of every kind go through item construction, annotation and
// summary without failing, and the file events' full texts carry their paths.
TEST(EventSummary, GeneratedFixturesOfEveryKind) {
    fixtures::FixtureGenerator generator(7);
    qm::InMemorySettings settings;
    qm::registerDefaultSettings(settings);
    qm::EventAnnotator annotator(settings);
    for (std::size_t tag = 0; tag < ESEvent::caseCount; ++tag) {
        auto m = generator.next(tag);
        ASSERT_EQ(m.event.tag(), tag);
        auto it = item(m, annotator);
        auto s = qm::eventSummary(*it);
        if (auto open = it->theEvent().event.get<ESEvent_open>()) {
            EXPECT_EQ(s.fullText, open->file.path);
        }
        if (auto w = it->theEvent().event.get<ESEvent_write>()) {
            EXPECT_EQ(s.fullText, w->target.path);
        }
    }
}

struct PrintedListCase {
    const char* what;
    std::vector<std::string> texts;
    std::string printed;
};

// A list of texts prints as the capture library prints one in its log: each text
// quoted, with quotes, backslashes and control characters escaped, the rest as it is.
TEST(EventSummary, ListsPrintAsTheCaptureLibraryPrintsThem) {
    const std::vector<PrintedListCase> cases = {
        {"empty list", {}, "[]"},
        {"NUL", {std::string("a\0b", 3)}, R"(["a\0b"])"},
        {"other control characters", {"\x01\x07\x1b\x1f\x7f"}, R"(["\u{1}\u{7}\u{1b}\u{1f}\u{7f}"])"},
        {"line feed, carriage return and tab", {"a\nb\rc\td"}, R"(["a\nb\rc\td"])"},
        {"quotes and backslashes", {"say \"hi\"", "C:\\dir\\"}, R"(["say \"hi\"", "C:\\dir\\"])"},
        {"non-ASCII characters", {"caf\u00e9 \u20ac", "\U0001F600\u2028\u0085"}, "[\"caf\u00e9 \u20ac\", \"\U0001F600\u2028\u0085\"]"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(es::listDescription(c.texts), c.printed);
        auto group = item(message(od<ESEvent_od_group_set>(0, [&](auto& e) {
            e.group_name = "staff", e.members.member_array = c.texts;
        }), process("/usr/bin/actor")));
        EXPECT_EQ(qm::eventSummary(*group).fullText, "staff set " + c.printed + " by dscl");
        if (c.texts.empty()) continue;  // no rights print as ["(unknown)"]
        auto petition = item(message(build<ESEvent_authorization_petition>([&](auto& e) {
            e.instigator = process("/usr/sbin/authd");
            e.petitioner = process("/bin/pet");
            e.rights = c.texts;
        }), process("/usr/bin/actor")));
        EXPECT_EQ(qm::eventSummary(*petition).fullText, "authd on behalf of pet requested " + c.printed);
    }
}
