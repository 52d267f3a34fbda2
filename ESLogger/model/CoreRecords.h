#pragma once
// Records shared by every message and by many payloads: process, file, status,
// file-system statistics, audit token, result, descriptor, attribute list, thread.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "CodeSigningFlags.h"
#include "Enums.h"
#include "Fields.h"

namespace es {

struct AuditToken {
    std::int64_t asid{}, pidversion{}, ruid{}, euid{}, rgid{}, auid{}, egid{}, pid{};
    ES_FIELDS(AuditToken, ES_FIELD(asid), ES_FIELD(pidversion), ES_FIELD(ruid), ES_FIELD(euid),
              ES_FIELD(rgid), ES_FIELD(auid), ES_FIELD(egid), ES_FIELD(pid))
    // Newer eslogger writes a token as an array of its eight integers in the
    // kernel's order; it is read in either form and always written as an object.
    static constexpr std::array<std::int64_t AuditToken::*, 8> arrayOrder() {
        return {&Self::auid, &Self::euid, &Self::egid, &Self::ruid, &Self::rgid, &Self::pid, &Self::asid, &Self::pidversion};
    }
};

struct Stat {
    std::int64_t st_blocks{}, st_blksize{}, st_rdev{}, st_dev{}, st_uid{}, st_gid{}, st_ino{};
    CompactString st_birthtimespec;
    std::int64_t st_flags{}, st_nlink{};
    CompactString st_mtimespec, st_ctimespec;
    std::int64_t st_size{}, st_gen{}, st_mode{};
    CompactString st_atimespec;
    ES_FIELDS(Stat, ES_FIELD(st_blocks), ES_FIELD(st_blksize), ES_FIELD(st_rdev), ES_FIELD(st_dev),
              ES_FIELD(st_uid), ES_FIELD(st_gid), ES_FIELD(st_ino), ES_FIELD(st_birthtimespec),
              ES_FIELD(st_flags), ES_FIELD(st_nlink), ES_FIELD(st_mtimespec), ES_FIELD(st_ctimespec),
              ES_FIELD(st_size), ES_FIELD(st_gen), ES_FIELD(st_mode), ES_FIELD(st_atimespec))
};

struct ESFile {
    std::string path;
    Stat stat;
    bool path_truncated{};
    ES_FIELDS(ESFile, ES_FIELD(path), ES_FIELD(stat), ES_FIELD(path_truncated))
};

struct ESProcess {
    AuditToken audit_token;
    std::int64_t ppid{}, original_ppid{}, group_id{}, session_id{};
    CodeSigningFlags codesigning_flags;
    bool is_platform_binary{}, is_es_client{};
    std::string cdhash;
    std::optional<std::string> signing_id, team_id;
    ESFile executable;
    std::optional<ESFile> tty;
    CompactString start_time;
    AuditToken responsible_audit_token, parent_audit_token;
    ES_FIELDS(ESProcess, ES_FIELD(audit_token), ES_FIELD(ppid), ES_FIELD(original_ppid), ES_FIELD(group_id),
              ES_FIELD(session_id), ES_FIELD(codesigning_flags), ES_FIELD(is_platform_binary),
              ES_FIELD(is_es_client), ES_FIELD(cdhash), ES_FIELD(signing_id), ES_FIELD(team_id),
              ES_FIELD(executable), ES_FIELD(tty), ES_FIELD(start_time), ES_FIELD(responsible_audit_token),
              ES_FIELD(parent_audit_token))
};

struct Statfs {
    std::int64_t f_bsize{}, f_iosize{}, f_blocks{}, f_bfree{}, f_bavail{}, f_files{}, f_ffree{};
    std::vector<std::int64_t> f_fsid;
    std::int64_t f_owner{}, f_type{}, f_flags{}, f_fssubtype{};
    std::string f_fstypename, f_mntonname, f_mntfromname;
    ES_FIELDS(Statfs, ES_FIELD(f_bsize), ES_FIELD(f_iosize), ES_FIELD(f_blocks), ES_FIELD(f_bfree),
              ES_FIELD(f_bavail), ES_FIELD(f_files), ES_FIELD(f_ffree), ES_FIELD(f_fsid), ES_FIELD(f_owner),
              ES_FIELD(f_type), ES_FIELD(f_flags), ES_FIELD(f_fssubtype), ES_FIELD(f_fstypename),
              ES_FIELD(f_mntonname), ES_FIELD(f_mntfromname))
};

struct ESResult {
    struct result_inner {
        std::optional<ESAuthResultType> auth;
        std::optional<std::int64_t> flags;
        ES_FIELDS(result_inner, ES_FIELD(auth), ES_FIELD(flags))
    };
    ESResultType result_type{};
    result_inner result;
    ES_FIELDS(ESResult, ES_FIELD(result_type), ES_FIELD(result))
};

struct ESFD {
    struct pipe_inner {
        std::int64_t pipe_id{};
        ES_FIELDS(pipe_inner, ES_FIELD(pipe_id))
    };
    std::int64_t fd{}, fdtype{};
    std::optional<pipe_inner> pipe;
    ES_FIELDS(ESFD, ES_FIELD(fd), ES_FIELD(fdtype), ES_FIELD(pipe))
};

struct AttrList {
    std::int64_t bitmapcount{}, commonattr{}, volattr{}, dirattr{}, fileattr{}, forkattr{};
    ES_FIELDS(AttrList, ES_FIELD(bitmapcount), ES_FIELD(commonattr), ES_FIELD(volattr), ES_FIELD(dirattr),
              ES_FIELD(fileattr), ES_FIELD(forkattr))
};

struct ESThreadState {
    std::int64_t flavor{};
    ES_FIELDS(ESThreadState, ES_FIELD(flavor))
};

struct ESThread {
    std::int64_t thread_id{};
    ES_FIELDS(ESThread, ES_FIELD(thread_id))
};

}  // namespace es
