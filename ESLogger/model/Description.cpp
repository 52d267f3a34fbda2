#include "Description.h"

#include "ESMessage.h"

namespace es {

std::string description(const ESMessage& message) {
    std::string out;
    appendDescription(out, message);
    return out;
}

}  // namespace es
