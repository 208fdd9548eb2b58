#include "clam_engine.h"

#include <clamav.h>
#include <string.h>
#include <sys/stat.h>

#include <mutex>

namespace tavoscan {

namespace {

bool StartsWith(const char* szText, const char* szPrefix) {
    return strncmp(szText, szPrefix, strlen(szPrefix)) == 0;
}

bool InitLibrary(std::string* pError) {
    static std::once_flag once;
    static cl_error_t initResult = CL_SUCCESS;
    std::call_once(once, [] { initResult = cl_init(CL_INIT_DEFAULT); });
    if (initResult != CL_SUCCESS) {
        *pError = std::string("cannot start the scan engine: ") + cl_strerror(initResult);
        return false;
    }
    return true;
}

}  // namespace

ScanResult ClassifyScan(int iClamResult, const char* szVirusName, const char* szErrorText) {
    ScanResult result;
    switch (iClamResult) {
    case CL_CLEAN: return result;
    case CL_VIRUS: {
        const char* szName = szVirusName ? szVirusName : "";
        if (szName[0] == '\0') {
            // Raised for a file over the limits, where no name is given.
            result.verdict = Verdict::kError;
            result.reason = "exceeds the scan limits";
        } else if (StartsWith(szName, "Heuristics.Encrypted")) {
            result.verdict = Verdict::kError;
            result.reason = "encrypted content cannot be scanned";
        } else if (StartsWith(szName, "Heuristics.Limits.Exceeded")) {
            result.verdict = Verdict::kError;
            result.reason = "exceeds the scan limits";
        } else {
            result.verdict = Verdict::kInfected;
            // Signatures outside ClamAV's own databases carry this mark;
            // the name as written in the definitions is what users know.
            result.threat = szName;
            const std::string mark = ".UNOFFICIAL";
            if (result.threat.size() > mark.size() &&
                result.threat.compare(result.threat.size() - mark.size(), mark.size(), mark) == 0)
                result.threat.resize(result.threat.size() - mark.size());
        }
        return result;
    }
    case CL_EMAXSIZE:
    case CL_EMAXFILES:
    case CL_EMAXREC:
    case CL_ETIMEOUT:
        result.verdict = Verdict::kError;
        result.reason = "exceeds the scan limits";
        return result;
    default:
        result.verdict = Verdict::kError;
        result.reason = szErrorText && szErrorText[0] ? szErrorText : "scan error";
        return result;
    }
}

ClamEngine::~ClamEngine() {
    if (engine_) cl_engine_free(engine_);
}

bool ClamEngine::Load(const std::string& defsDir, uint64_t maxFileBytes, bool blScanArchives,
                      std::string* pError) {
    if (!InitLibrary(pError)) return false;
    if (engine_) {
        cl_engine_free(engine_);
        engine_ = nullptr;
    }
    signatures_ = 0;
    maxFileBytes_ = 0;
    blScanArchives_ = blScanArchives;
    engine_ = cl_engine_new();
    if (!engine_) {
        *pError = "cannot create the scan engine";
        return false;
    }
    if (maxFileBytes > 0) {
        long long limit = static_cast<long long>(maxFileBytes);
        cl_engine_set_num(engine_, CL_ENGINE_MAX_FILESIZE, limit);
        long long scanLimit = cl_engine_get_num(engine_, CL_ENGINE_MAX_SCANSIZE, nullptr);
        if (scanLimit < limit) cl_engine_set_num(engine_, CL_ENGINE_MAX_SCANSIZE, limit);
    }
    long long engineLimit = cl_engine_get_num(engine_, CL_ENGINE_MAX_FILESIZE, nullptr);
    maxFileBytes_ = engineLimit > 0 ? static_cast<uint64_t>(engineLimit) : 0;
    unsigned int signatures = 0;
    cl_error_t loadResult = cl_load(defsDir.c_str(), engine_, &signatures, CL_DB_STDOPT);
    if (loadResult != CL_SUCCESS) {
        *pError = std::string("cannot load the virus definitions: ") + cl_strerror(loadResult);
        return false;
    }
    if (signatures == 0) {
        *pError = "no virus definitions installed";
        return false;
    }
    cl_error_t compileResult = cl_engine_compile(engine_);
    if (compileResult != CL_SUCCESS) {
        *pError =
            std::string("cannot prepare the virus definitions: ") + cl_strerror(compileResult);
        return false;
    }
    signatures_ = signatures;
    return true;
}

std::string ClamEngine::VerdictKey() const {
    // The alerts are the ones ScanFd always asks for.
    return std::string("engine ClamAV ") + cl_retver() +
           "\noptions archives=" + (blScanArchives_ ? "1" : "0") +
           " maxFileBytes=" + std::to_string(static_cast<unsigned long long>(maxFileBytes_)) +
           " alerts=encrypted-archive,encrypted-doc,exceeds-max\nsignatures " +
           std::to_string(signatures_) + "\n";
}

ScanResult ClamEngine::ScanFd(int fd, const std::string& displayName) const {
    if (!engine_) return ClassifyScan(CL_ENULLARG, nullptr, "no scan engine");
    struct cl_scan_options options;
    memset(&options, 0, sizeof(options));
    options.parse =
        blScanArchives_ ? ~0u : (~0u & ~static_cast<unsigned int>(CL_SCAN_PARSE_ARCHIVE));
    // Alerts for what the engine could not look into, so that such a file
    // is reported instead of passing as clean.
    options.general = CL_SCAN_GENERAL_HEURISTICS;
    options.heuristic = CL_SCAN_HEURISTIC_ENCRYPTED_ARCHIVE | CL_SCAN_HEURISTIC_ENCRYPTED_DOC |
                        CL_SCAN_HEURISTIC_EXCEEDS_MAX;
    struct stat st;
    if (fstat(fd, &st) == 0 && maxFileBytes_ > 0 &&
        static_cast<uint64_t>(st.st_size) > maxFileBytes_)
        return ClassifyScan(CL_EMAXSIZE, nullptr, nullptr);
    const char* szVirusName = nullptr;
    unsigned long int scanned = 0;
    cl_error_t scanResult =
        cl_scandesc(fd, displayName.c_str(), &szVirusName, &scanned, engine_, &options);
    return ClassifyScan(scanResult, szVirusName, cl_strerror(scanResult));
}

}  // namespace tavoscan
