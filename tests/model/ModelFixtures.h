#pragma once
// Small JSON texts of valid core records, written in declaration order so that
// decoding and encoding again gives the same text.
#include <string>

namespace fixtures {

inline std::string token(int pid) {
    return R"({"asid":100001,"pidversion":1234,"ruid":501,"euid":501,"rgid":20,"auid":501,"egid":20,"pid":)" +
           std::to_string(pid) + "}";
}

inline std::string stat() {
    return R"({"st_blocks":8,"st_blksize":4096,"st_rdev":0,"st_dev":16777232,"st_uid":0,"st_gid":0,"st_ino":1152921500312,)"
           R"("st_birthtimespec":"2023-01-01T00:00:00.000000000Z","st_flags":524288,"st_nlink":1,)"
           R"("st_mtimespec":"2023-01-01T00:00:00.000000000Z","st_ctimespec":"2023-01-01T00:00:00.000000000Z",)"
           R"("st_size":1000,"st_gen":0,"st_mode":33261,"st_atimespec":"2023-01-01T00:00:00.000000000Z"})";
}

inline std::string file(const std::string& path) {
    return R"({"path":")" + path + R"(","stat":)" + stat() + R"(,"path_truncated":false})";
}

// A process; `optional` holds the signing_id and team_id members (with a leading
// comma) placed after cdhash, `tty` the tty member placed after executable.
inline std::string process(int pid = 42, const std::string& exe = "/bin/zsh",
                           const std::string& optional = R"(,"signing_id":"com.example.zsh","team_id":"ABCDE12345")",
                           const std::string& tty = "") {
    return R"({"audit_token":)" + token(pid) + R"(,"ppid":1,"original_ppid":1,"group_id":42,"session_id":42,)"
           R"("codesigning_flags":570522385,"is_platform_binary":true,"is_es_client":false,)"
           R"("cdhash":"3f2a9c0e1b7d44f6a8e2c5b9d0f1e3a7c6b5d4e2")" + optional + R"(,"executable":)" + file(exe) + tty +
           R"(,"start_time":"2023-05-01T10:00:00.000000Z","responsible_audit_token":)" + token(1) +
           R"(,"parent_audit_token":)" + token(1) + "}";
}

}  // namespace fixtures
