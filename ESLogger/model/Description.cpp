#include "Description.h"

#include "ESMessage.h"
#include "JSONWriter.h"

namespace es {

void appendQuotedText(std::string& out, std::string_view text) {
    JSONWriter w(false);
    w.writeString(text);
    out += w.take();
}

std::string description(const ESMessage& message) {
    std::string out;
    appendDescription(out, message);
    return out;
}

}  // namespace es
