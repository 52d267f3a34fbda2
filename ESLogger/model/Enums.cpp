#include "Enums.h"
#include "EventType.h"

namespace es {

std::string shortName(ESXPCDomainType t) { return shortNameOf(caseName(t)); }

std::string shortName(EventType t) { return shortNameOf(caseName(t)); }

}  // namespace es
