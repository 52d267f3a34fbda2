#include "CodeSigningFlags.h"

namespace es {

#define ES_CS(name) CodeSigningFlags::Named{CodeSigningFlags::name, #name}
const std::array<CodeSigningFlags::Named, 24> CodeSigningFlags::named{{
    ES_CS(CS_VALID), ES_CS(CS_ADHOC), ES_CS(CS_GET_TASK_ALLOW), ES_CS(CS_INSTALLER),
    ES_CS(CS_HARD), ES_CS(CS_KILL), ES_CS(CS_CHECK_EXPIRATION), ES_CS(CS_RESTRICT),
    ES_CS(CS_ENFORCEMENT), ES_CS(CS_REQUIRE_LV), ES_CS(CS_ENTITLEMENTS_VALIDATED),
    ES_CS(CS_NVRAM_UNRESTRICTED), ES_CS(CS_EXEC_SET_HARD), ES_CS(CS_EXEC_SET_KILL),
    ES_CS(CS_EXEC_SET_ENFORCEMENT), ES_CS(CS_EXEC_INHERIT_SIP), ES_CS(CS_KILLED),
    ES_CS(CS_DYLD_PLATFORM), ES_CS(CS_PLATFORM_BINARY), ES_CS(CS_PLATFORM_PATH),
    ES_CS(CS_DEBUGGED), ES_CS(CS_SIGNED), ES_CS(CS_DEV_CODE), ES_CS(CS_DATAVAULT_CONTROLLER),
}};
#undef ES_CS

std::string CodeSigningFlags::description() const {
    std::string text;
    for (const auto& f : named) {
        if ((rawValue & f.value) != f.value) continue;
        if (!text.empty()) text += " | ";
        text += f.name;
    }
    return text;
}

}  // namespace es
