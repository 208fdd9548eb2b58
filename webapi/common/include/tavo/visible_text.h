// Text that goes onto one line of a log or an export: a file name a share
// user chose must not be able to end the line and start a forged one.
#pragma once

#include <string>

namespace TAVO {

// sz with every control byte (below 0x20, and 0x7f) written as a visible
// escape: "\r", "\n", "\t" or "\xHH". Every other byte stays as it is, the
// backslash and UTF-8 sequences included. Returns sz itself when it holds no
// control byte, else buffer's text.
const char* VisibleText(const char* sz, std::string& buffer);

}  // namespace TAVO
