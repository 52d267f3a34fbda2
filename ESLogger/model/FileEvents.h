#pragma once
// Payload records of the link, unlink, clone and copy events, the file content,
// lookup and descriptor events, the file attribute events, and the mount,
// file-provider and local-socket events. Each record is the object that stands
// under its event name inside a message's "event" object. The generic coder walks
// each field table; records of one field shape code alike and differ only in their
// keys. Numbers (modes, flags, ids, commands) are kept exactly as written.

#include <cstdint>
#include <optional>
#include <string>

#include "CoreRecords.h"
#include "Enums.h"
#include "Fields.h"

namespace es {

// Link, unlink, clone and copy.

struct ESEvent_link {
    ESFile source;
    ESFile target_dir;
    std::string target_filename;
    ES_FIELDS(ESEvent_link, ES_FIELD(source), ES_FIELD(target_dir), ES_FIELD(target_filename))
};

struct ESEvent_unlink {
    ESFile target;
    ESFile parent_dir;
    ES_FIELDS(ESEvent_unlink, ES_FIELD(target), ES_FIELD(parent_dir))
};

struct ESEvent_clone {
    ESFile source;
    ESFile target_dir;
    std::string target_name;
    ES_FIELDS(ESEvent_clone, ES_FIELD(source), ES_FIELD(target_dir), ES_FIELD(target_name))
};

// The destination directory key is "targetdir" here, unlike link and clone.
struct ESEvent_copyfile {
    ESFile source;
    std::optional<ESFile> target_file;
    ESFile targetdir;
    std::string target_name;
    std::int64_t mode{};
    std::int64_t flags{};
    ES_FIELDS(ESEvent_copyfile, ES_FIELD(source), ES_FIELD(target_file), ES_FIELD(targetdir),
              ES_FIELD(target_name), ES_FIELD(mode), ES_FIELD(flags))
};

// File content, lookup and descriptor.

struct ESEvent_write {
    ESFile target;
    ES_FIELDS(ESEvent_write, ES_FIELD(target))
};

struct ESEvent_truncate {
    ESFile target;
    ES_FIELDS(ESEvent_truncate, ES_FIELD(target))
};

struct ESEvent_chdir {
    ESFile target;
    ES_FIELDS(ESEvent_chdir, ES_FIELD(target))
};

struct ESEvent_stat {
    ESFile target;
    ES_FIELDS(ESEvent_stat, ES_FIELD(target))
};

struct ESEvent_chroot {
    ESFile target;
    ES_FIELDS(ESEvent_chroot, ES_FIELD(target))
};

struct ESEvent_readdir {
    ESFile target;
    ES_FIELDS(ESEvent_readdir, ES_FIELD(target))
};

struct ESEvent_fsgetpath {
    ESFile target;
    ES_FIELDS(ESEvent_fsgetpath, ES_FIELD(target))
};

struct ESEvent_dup {
    ESFile target;
    ES_FIELDS(ESEvent_dup, ES_FIELD(target))
};

// The symbolic link being read; its one key is "source", not "target".
struct ESEvent_readlink {
    ESFile source;
    ES_FIELDS(ESEvent_readlink, ES_FIELD(source))
};

struct ESEvent_lookup {
    ESFile source_dir;
    std::string relative_target;
    ES_FIELDS(ESEvent_lookup, ES_FIELD(source_dir), ES_FIELD(relative_target))
};

struct ESEvent_access {
    std::int64_t mode{};
    ESFile target;
    ES_FIELDS(ESEvent_access, ES_FIELD(mode), ES_FIELD(target))
};

// The new times stay the texts that were written; they are never parsed.
struct ESEvent_utimes {
    ESFile target;
    CompactString atime;
    CompactString mtime;
    ES_FIELDS(ESEvent_utimes, ES_FIELD(target), ES_FIELD(atime), ES_FIELD(mtime))
};

struct ESEvent_fcntl {
    ESFile target;
    std::int64_t cmd{};
    ES_FIELDS(ESEvent_fcntl, ES_FIELD(target), ES_FIELD(cmd))
};

// File attributes.

struct ESEvent_setattrlist {
    AttrList attrlist;
    ESFile target;
    ES_FIELDS(ESEvent_setattrlist, ES_FIELD(attrlist), ES_FIELD(target))
};

struct ESEvent_getattrlist {
    AttrList attrlist;
    ESFile target;
    ES_FIELDS(ESEvent_getattrlist, ES_FIELD(attrlist), ES_FIELD(target))
};

struct ESEvent_searchfs {
    AttrList attrlist;
    ESFile target;
    ES_FIELDS(ESEvent_searchfs, ES_FIELD(attrlist), ES_FIELD(target))
};

struct ESEvent_setextattr {
    ESFile target;
    std::string extattr;
    ES_FIELDS(ESEvent_setextattr, ES_FIELD(target), ES_FIELD(extattr))
};

struct ESEvent_getextattr {
    ESFile target;
    std::string extattr;
    ES_FIELDS(ESEvent_getextattr, ES_FIELD(target), ES_FIELD(extattr))
};

struct ESEvent_deleteextattr {
    ESFile target;
    std::string extattr;
    ES_FIELDS(ESEvent_deleteextattr, ES_FIELD(target), ES_FIELD(extattr))
};

struct ESEvent_listextattr {
    ESFile target;
    ES_FIELDS(ESEvent_listextattr, ES_FIELD(target))
};

struct ESEvent_setmode {
    std::int64_t mode{};
    ESFile target;
    ES_FIELDS(ESEvent_setmode, ES_FIELD(mode), ES_FIELD(target))
};

struct ESEvent_setflags {
    std::int64_t flags{};
    ESFile target;
    ES_FIELDS(ESEvent_setflags, ES_FIELD(flags), ES_FIELD(target))
};

struct ESEvent_setowner {
    std::int64_t uid{};
    std::int64_t gid{};
    ESFile target;
    ES_FIELDS(ESEvent_setowner, ES_FIELD(uid), ES_FIELD(gid), ES_FIELD(target))
};

struct ESEvent_setacl {
    // The object under "acl": a single-Int record with the key "set".
    struct setacl_acl_inner {
        std::int64_t set{};
        ES_FIELDS(setacl_acl_inner, ES_FIELD(set))
    };
    ESFile target;
    ESSetOrClear set_or_clear{};
    setacl_acl_inner acl;
    ES_FIELDS(ESEvent_setacl, ES_FIELD(target), ES_FIELD(set_or_clear), ES_FIELD(acl))
};

// Mount, file provider and local sockets.

struct ESEvent_mount {
    Statfs statfs;
    ES_FIELDS(ESEvent_mount, ES_FIELD(statfs))
};

struct ESEvent_unmount {
    Statfs statfs;
    ES_FIELDS(ESEvent_unmount, ES_FIELD(statfs))
};

struct ESEvent_remount {
    Statfs statfs;
    ES_FIELDS(ESEvent_remount, ES_FIELD(statfs))
};

// The target is a path text, not a file record.
struct ESEvent_file_provider_update {
    ESFile source;
    std::string target_path;
    ES_FIELDS(ESEvent_file_provider_update, ES_FIELD(source), ES_FIELD(target_path))
};

struct ESEvent_file_provider_materialize {
    ESProcess investigator;
    ESFile source;
    ESFile target;
    ES_FIELDS(ESEvent_file_provider_materialize, ES_FIELD(investigator), ES_FIELD(source), ES_FIELD(target))
};

struct ESEvent_uipc_bind {
    ESFile dir;
    std::string filename;
    std::int64_t mode{};
    ES_FIELDS(ESEvent_uipc_bind, ES_FIELD(dir), ES_FIELD(filename), ES_FIELD(mode))
};

// The protocol is held as `proto` but travels under the key "protocol".
struct ESEvent_uipc_connect {
    ESFile file;
    ESSocketDomain domain{};
    ESSocketType type{};
    ESIPProtocol proto{};
    ES_FIELDS(ESEvent_uipc_connect, ES_FIELD(file), ES_FIELD(domain), ES_FIELD(type),
              ES_FIELD_KEY("protocol", proto))
};

}  // namespace es
