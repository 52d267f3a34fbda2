#pragma once
// Payload records of the process lifecycle, task-port, process-control, kernel,
// credential, terminal and file open/close/create/rename events. Each record is the
// object that stands under its event name inside a message's "event" object. The
// generic coder walks each field table; records of one field shape code alike and
// differ only in their keys. The two payloads without fields live in EmptyEvents.h.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "CoreRecords.h"
#include "Enums.h"
#include "Fields.h"

namespace es {

// Process lifecycle.

struct ESEvent_exec {
    ESProcess target;
    std::optional<ESFile> script;
    ESFile cwd;
    std::int64_t last_fd{};
    std::int64_t image_cputype{};
    std::int64_t image_cpusubtype{};
    std::optional<std::vector<std::string>> env;
    std::optional<std::vector<std::string>> args;
    std::optional<std::vector<ESFD>> fds;
    ES_FIELDS(ESEvent_exec, ES_FIELD(target), ES_FIELD(script), ES_FIELD(cwd), ES_FIELD(last_fd),
              ES_FIELD(image_cputype), ES_FIELD(image_cpusubtype), ES_FIELD(env), ES_FIELD(args), ES_FIELD(fds))
};

struct ESEvent_fork {
    ESProcess child;
    ES_FIELDS(ESEvent_fork, ES_FIELD(child))
};

struct ESEvent_trace {
    ESProcess target;
    ES_FIELDS(ESEvent_trace, ES_FIELD(target))
};

struct ESEvent_signal {
    SignalType sig{};
    ESProcess target;
    ES_FIELDS(ESEvent_signal, ES_FIELD(sig), ES_FIELD(target))
};

struct ESEvent_remote_thread_create {
    ESProcess target;
    std::optional<ESThreadState> thread_state;
    ES_FIELDS(ESEvent_remote_thread_create, ES_FIELD(target), ES_FIELD(thread_state))
};

struct ESEvent_exit {
    std::int64_t stat{};
    ES_FIELDS(ESEvent_exit, ES_FIELD(stat))
};

// Task ports: four record types of one shape.

struct ESEvent_get_task {
    ESProcess target;
    ESGetTaskType type{};
    ES_FIELDS(ESEvent_get_task, ES_FIELD(target), ES_FIELD(type))
};

struct ESEvent_get_task_read {
    ESProcess target;
    ESGetTaskType type{};
    ES_FIELDS(ESEvent_get_task_read, ES_FIELD(target), ES_FIELD(type))
};

struct ESEvent_get_task_inspect {
    ESProcess target;
    ESGetTaskType type{};
    ES_FIELDS(ESEvent_get_task_inspect, ES_FIELD(target), ES_FIELD(type))
};

struct ESEvent_get_task_name {
    ESProcess target;
    ESGetTaskType type{};
    ES_FIELDS(ESEvent_get_task_name, ES_FIELD(target), ES_FIELD(type))
};

// Process control and kernel.

struct ESEvent_proc_check {
    std::optional<ESProcess> target;
    ESProcCheckType type = ESProcCheckType::ES_PROC_CHECK_TYPE_LISTPIDS;  // 0 names no case
    std::int64_t flavor{};
    ES_FIELDS(ESEvent_proc_check, ES_FIELD(target), ES_FIELD(type), ES_FIELD(flavor))
};

struct ESEvent_proc_suspend_resume {
    std::optional<ESProcess> target;
    ESProcSuspendResumeType type{};
    ES_FIELDS(ESEvent_proc_suspend_resume, ES_FIELD(target), ES_FIELD(type))
};

struct ESEvent_iokit_open {
    std::int64_t user_client_type{};
    std::string user_client_class;
    ES_FIELDS(ESEvent_iokit_open, ES_FIELD(user_client_type), ES_FIELD(user_client_class))
};

struct ESEvent_kextload {
    std::string identifier;
    ES_FIELDS(ESEvent_kextload, ES_FIELD(identifier))
};

struct ESEvent_kextunload {
    std::string identifier;
    ES_FIELDS(ESEvent_kextunload, ES_FIELD(identifier))
};

struct ESEvent_mmap {
    std::int64_t protection{};
    std::int64_t max_protection{};
    std::int64_t flags{};
    std::int64_t file_pos{};
    ESFile source;
    ES_FIELDS(ESEvent_mmap, ES_FIELD(protection), ES_FIELD(max_protection), ES_FIELD(flags), ES_FIELD(file_pos),
              ES_FIELD(source))
};

struct ESEvent_mprotect {
    std::int64_t protection{};
    std::int64_t address{};
    std::int64_t size{};
    ES_FIELDS(ESEvent_mprotect, ES_FIELD(protection), ES_FIELD(address), ES_FIELD(size))
};

// Credentials and pseudo-terminals.

struct ESEvent_setuid {
    std::int64_t uid{};
    ES_FIELDS(ESEvent_setuid, ES_FIELD(uid))
};

struct ESEvent_setgid {
    std::int64_t gid{};
    ES_FIELDS(ESEvent_setgid, ES_FIELD(gid))
};

struct ESEvent_seteuid {
    std::int64_t euid{};
    ES_FIELDS(ESEvent_seteuid, ES_FIELD(euid))
};

struct ESEvent_setegid {
    std::int64_t egid{};
    ES_FIELDS(ESEvent_setegid, ES_FIELD(egid))
};

struct ESEvent_setreuid {
    std::int64_t ruid{};
    std::int64_t euid{};
    ES_FIELDS(ESEvent_setreuid, ES_FIELD(ruid), ES_FIELD(euid))
};

struct ESEvent_setregid {
    std::int64_t rgid{};
    std::int64_t egid{};
    ES_FIELDS(ESEvent_setregid, ES_FIELD(rgid), ES_FIELD(egid))
};

struct ESEvent_pty_grant {
    std::int64_t dev{};
    ES_FIELDS(ESEvent_pty_grant, ES_FIELD(dev))
};

struct ESEvent_pty_close {
    std::int64_t dev{};
    ES_FIELDS(ESEvent_pty_close, ES_FIELD(dev))
};

// File open, close, create and rename.

struct ESEvent_open {
    std::int64_t fflag{};
    ESFile file;
    ES_FIELDS(ESEvent_open, ES_FIELD(fflag), ES_FIELD(file))
};

struct ESEvent_close {
    bool modified{};
    ESFile target;
    std::optional<bool> was_mapped_writable;
    ES_FIELDS(ESEvent_close, ES_FIELD(modified), ES_FIELD(target), ES_FIELD(was_mapped_writable))
};

// The destination of a create or a rename holds an existing file, a new path, both
// or neither, whatever destination_type says; both are kept as read.
struct ESEvent_create {
    struct create_destination_inner {
        struct create_new_path_inner {
            ESFile dir;
            std::string filename;
            std::int64_t mode{};
            ES_FIELDS(create_new_path_inner, ES_FIELD(dir), ES_FIELD(filename), ES_FIELD(mode))
        };
        std::optional<ESFile> existing_file;
        std::optional<create_new_path_inner> new_path;
        ES_FIELDS(create_destination_inner, ES_FIELD(existing_file), ES_FIELD(new_path))
    };
    ESDestinationType destination_type{};
    create_destination_inner destination;
    ES_FIELDS(ESEvent_create, ES_FIELD(destination_type), ES_FIELD(destination))
};

struct ESEvent_rename {
    struct rename_destination_inner {
        struct rename_new_path_inner {
            ESFile dir;
            std::string filename;
            ES_FIELDS(rename_new_path_inner, ES_FIELD(dir), ES_FIELD(filename))
        };
        std::optional<ESFile> existing_file;
        std::optional<rename_new_path_inner> new_path;
        ES_FIELDS(rename_destination_inner, ES_FIELD(existing_file), ES_FIELD(new_path))
    };
    ESFile source;
    ESDestinationType destination_type{};
    rename_destination_inner destination;
    ES_FIELDS(ESEvent_rename, ES_FIELD(source), ES_FIELD(destination_type), ES_FIELD(destination))
};

struct ESEvent_exchangedata {
    ESFile file1;
    ESFile file2;
    ES_FIELDS(ESEvent_exchangedata, ES_FIELD(file1), ES_FIELD(file2))
};

}  // namespace es
