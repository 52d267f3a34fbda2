#pragma once
// The kernel's code-signing status flags of a process: an option set over one
// 64-bit integer. Every bit is kept, named or not; the text form lists the names
// of the set named flags in ascending bit order, joined by " | ".

#include <array>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>

namespace es {

struct CodeSigningFlags {
    std::int64_t rawValue = 0;

    constexpr CodeSigningFlags() = default;
    constexpr explicit CodeSigningFlags(std::int64_t raw) : rawValue(raw) {}
    constexpr CodeSigningFlags(std::initializer_list<CodeSigningFlags> flags) {
        for (auto f : flags) rawValue |= f.rawValue;
    }

    constexpr CodeSigningFlags operator|(CodeSigningFlags o) const { return CodeSigningFlags(rawValue | o.rawValue); }
    constexpr CodeSigningFlags operator&(CodeSigningFlags o) const { return CodeSigningFlags(rawValue & o.rawValue); }
    constexpr bool contains(CodeSigningFlags o) const { return (rawValue & o.rawValue) == o.rawValue; }
    constexpr bool isEmpty() const { return rawValue == 0; }
    constexpr bool operator==(const CodeSigningFlags&) const = default;

    std::string description() const;

    struct Named {
        std::int64_t value;
        std::string_view name;
    };
    static const std::array<Named, 24> named;

    static constexpr std::int64_t CS_VALID = 0x1;
    static constexpr std::int64_t CS_ADHOC = 0x2;
    static constexpr std::int64_t CS_GET_TASK_ALLOW = 0x4;
    static constexpr std::int64_t CS_INSTALLER = 0x8;
    static constexpr std::int64_t CS_HARD = 0x100;
    static constexpr std::int64_t CS_KILL = 0x200;
    static constexpr std::int64_t CS_CHECK_EXPIRATION = 0x400;
    static constexpr std::int64_t CS_RESTRICT = 0x800;
    static constexpr std::int64_t CS_ENFORCEMENT = 0x1000;
    static constexpr std::int64_t CS_REQUIRE_LV = 0x2000;
    static constexpr std::int64_t CS_ENTITLEMENTS_VALIDATED = 0x4000;
    static constexpr std::int64_t CS_NVRAM_UNRESTRICTED = 0x8000;
    static constexpr std::int64_t CS_EXEC_SET_HARD = 0x100000;
    static constexpr std::int64_t CS_EXEC_SET_KILL = 0x200000;
    static constexpr std::int64_t CS_EXEC_SET_ENFORCEMENT = 0x400000;
    static constexpr std::int64_t CS_EXEC_INHERIT_SIP = 0x800000;
    static constexpr std::int64_t CS_KILLED = 0x1000000;
    static constexpr std::int64_t CS_DYLD_PLATFORM = 0x2000000;
    static constexpr std::int64_t CS_PLATFORM_BINARY = 0x4000000;
    static constexpr std::int64_t CS_PLATFORM_PATH = 0x8000000;
    static constexpr std::int64_t CS_DEBUGGED = 0x10000000;
    static constexpr std::int64_t CS_SIGNED = 0x20000000;
    static constexpr std::int64_t CS_DEV_CODE = 0x40000000;
    static constexpr std::int64_t CS_DATAVAULT_CONTROLLER = 0x80000000;
};

}  // namespace es

// Hashing uses the raw value, as equality does.
template <>
struct std::hash<es::CodeSigningFlags> {
    std::size_t operator()(es::CodeSigningFlags flags) const noexcept {
        return std::hash<std::int64_t>{}(flags.rawValue);
    }
};
