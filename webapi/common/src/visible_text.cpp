#include "tavo/visible_text.h"

#include <cstdio>

namespace TAVO {

namespace {

bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7f; }

}  // namespace

const char* VisibleText(const char* sz, std::string& buffer) {
    const char* p = sz;
    while (*p && !IsControl(static_cast<unsigned char>(*p))) ++p;
    if (!*p) return sz;  // the common case: nothing to escape, nothing copied
    buffer.assign(sz, p);
    for (; *p; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (!IsControl(c)) {
            buffer.push_back(static_cast<char>(c));
        } else if (c == '\r') {
            buffer += "\\r";
        } else if (c == '\n') {
            buffer += "\\n";
        } else if (c == '\t') {
            buffer += "\\t";
        } else {
            char szHex[5];
            snprintf(szHex, sizeof szHex, "\\x%02x", c);
            buffer += szHex;
        }
    }
    return buffer.c_str();
}

}  // namespace TAVO
