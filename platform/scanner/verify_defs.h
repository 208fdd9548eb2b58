// The definitions check: loads and compiles a definition folder exactly as a
// scan would, in a process of its own, so that a set the engine refuses (or
// that crashes it) is found before it is installed or used.
#pragma once

#include <string>
#include <vector>

namespace tavoscan {

struct DefsCheck {
    bool blOk = false;
    unsigned int signatures = 0;
    std::string file;    // the file at fault, "" when no single file is
    std::string reason;  // the engine's reason
};

// Whether a file name is one the engine loads from a folder (ClamAV's
// database extensions); other files in a definitions folder are passed over.
bool IsDatabaseName(const std::string& name);

// Checks the folder (a real path): every database file non-empty, the whole
// folder loaded and compiled with the scanner's options, and when that
// fails, the first file that fails on its own named.
DefsCheck CheckDefinitions(const std::string& dir, uint64_t maxFileBytes, bool blScanArchives);

// `tavoavscan --verify-defs DIR` (an appliance path): prints "OK <signatures>"
// or "FAIL <file>\t<reason>" (file "-" when none is at fault) on standard
// output. Exit status 0 when the set loads, 2 when not, 64 for a bad folder.
int RunVerifyDefinitions(const char* szApplianceDir);

}  // namespace tavoscan
