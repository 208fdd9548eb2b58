// Detection with ClamAV's engine library: loads the installed definitions
// and judges one open file.
#pragma once

#include <stdint.h>

#include <string>

struct cl_engine;

namespace tavoscan {

enum class Verdict {
    kClean,
    kInfected,  // threat names the detection
    kError,     // the file could not be judged; reason says why
};

struct ScanResult {
    Verdict verdict = Verdict::kClean;
    std::string threat;
    std::string reason;
};

// Turns what the engine answered into a verdict: alerts that only say the
// file could not be looked into (encrypted content, scan limits) and the
// engine's limit errors are errors, never detections and never clean.
ScanResult ClassifyScan(int iClamResult, const char* szVirusName, const char* szErrorText);

class ClamEngine {
public:
    ClamEngine() = default;
    ~ClamEngine();
    ClamEngine(const ClamEngine&) = delete;
    ClamEngine& operator=(const ClamEngine&) = delete;

    // Loads every definition file of the folder (a real path). maxFileBytes
    // (0: the engine's default) bounds the size of a file that is judged;
    // blScanArchives looks inside archives. False with error text when the
    // engine cannot start or the folder holds no usable definitions.
    bool Load(const std::string& defsDir, uint64_t maxFileBytes, bool blScanArchives,
              std::string* pError);
    unsigned int SignatureCount() const { return signatures_; }
    // What besides the definitions decides a verdict: the engine's version
    // and the scan options. A verdict reached under other options is void.
    std::string VerdictKey() const;

    // Judges the open regular file fd; displayName is used for file-type
    // hints and messages. Several threads may judge files at once with one
    // loaded engine.
    ScanResult ScanFd(int fd, const std::string& displayName) const;

private:
    struct cl_engine* engine_ = nullptr;
    unsigned int signatures_ = 0;
    uint64_t maxFileBytes_ = 0;
    bool blScanArchives_ = true;
};

}  // namespace tavoscan
