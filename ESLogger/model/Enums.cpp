#include "Enums.h"

namespace es {

std::string shortName(ESXPCDomainType t) { return shortNameOf(caseName(t)); }

}  // namespace es
