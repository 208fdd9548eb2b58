// The scan schedule: table `schedule` in TAVOAV_SCHEDULE_DB, written out as
// lines of the system crontab.
//
// The plug-in holds a libtavodb connection (AVScheduleDBConnect) and reads
// the table through it. The service's own operations (clear, insert, dump)
// open a private SQLite connection to the same file for each call and bind
// every value, so no text of a job ever becomes part of an SQL statement.
//
// Job texts (checked by AVScheduleInsert, and again for every activated job
// by the dump, which fails without touching the crontab when one is bad):
//   triggerTime  five cron fields "minute hour day-of-month month day-of-week"
//                separated by blanks; each field a comma list of "*", "N" or
//                "N-M", each optionally followed by "/step"; numbers within
//                the field's range (0-59, 0-23, 1-31, 1-12, 0-7).
//   scanType     "full", "system" or "custom".
//   scanTarget   for "custom": absolute paths separated by ':' (at least one);
//                otherwise ignored. No control characters in any case.
// The crontab command is the scanner with "--all", "--system" or "-f" and a
// file-list written at dump time (the paths never reach the command line).
// The block also holds the automatic definition update's line, made from the
// stored interval alone (numbers only), after the scans.
#include <errno.h>
#include <sqlite3.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include "audit.h"
#include "lists_file.h"
#include "tavo/files.h"
#include "tavo/tavoav_engine.h"
#include "update_internal.h"

namespace {

const char* const SZ_CRONTAB = "/etc/crontab";
const char* const SZ_CRONTAB_LOCK = TAVOAV_PKG_DIR "/.crontab";  // lock file is "<this>.lock"
const char* const SZ_BLOCK_BEGIN =
    "# BEGIN AntiVirus-Zentrel scheduled scans (written by the package, do not edit)";
const char* const SZ_BLOCK_END = "# END AntiVirus-Zentrel scheduled scans";
const char* const rgScheduleSchema =
    "CREATE TABLE IF NOT EXISTS schedule (activated INTEGER NOT NULL DEFAULT 0, "
    "triggerTime TEXT NOT NULL DEFAULT '', scanType TEXT NOT NULL DEFAULT '', "
    "scanTarget TEXT NOT NULL DEFAULT '')";
const int I_BUSY_TIMEOUT_MS = 5000;
const size_t CB_MAX_TARGET = 65536;

struct CronField {
    int iMin;
    int iMax;
};
const CronField rgCronFields[5] = {{0, 59}, {0, 23}, {1, 31}, {1, 12}, {0, 7}};

bool HasControlChars(const char* sz) {
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(sz); *p; ++p)
        if (*p < 0x20 || *p == 0x7f) return true;
    return false;
}

// A decimal number of one or two digits within [iMin, iMax].
bool ParseNumber(const std::string& text, int iMin, int iMax, int* piValue) {
    if (text.empty() || text.size() > 2) return false;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    if (value < iMin || value > iMax) return false;
    *piValue = value;
    return true;
}

std::vector<std::string> Split(const std::string& text, char sep) {
    std::vector<std::string> parts;
    size_t pos = 0;
    for (;;) {
        size_t next = text.find(sep, pos);
        parts.push_back(
            text.substr(pos, next == std::string::npos ? std::string::npos : next - pos));
        if (next == std::string::npos) break;
        pos = next + 1;
    }
    return parts;
}

bool ValidCronField(const std::string& field, const CronField& range) {
    for (const std::string& item : Split(field, ',')) {
        std::string base = item;
        size_t slash = item.find('/');
        if (slash != std::string::npos) {
            int step = 0;
            if (!ParseNumber(item.substr(slash + 1), 1, range.iMax, &step)) return false;
            base = item.substr(0, slash);
        }
        if (base == "*") continue;
        size_t dash = base.find('-');
        int from = 0, to = 0;
        if (dash == std::string::npos) {
            if (!ParseNumber(base, range.iMin, range.iMax, &from)) return false;
        } else if (!ParseNumber(base.substr(0, dash), range.iMin, range.iMax, &from) ||
                   !ParseNumber(base.substr(dash + 1), range.iMin, range.iMax, &to) || from > to) {
            return false;
        }
    }
    return true;
}

// The five fields of a valid trigger time joined by single blanks, or "".
std::string NormalTriggerTime(const char* szTriggerTime) {
    if (!szTriggerTime || strlen(szTriggerTime) > 256) return std::string();
    std::vector<std::string> fields;
    std::string current;
    for (const char* p = szTriggerTime;; ++p) {
        if (*p == ' ' || *p == '\0') {
            if (!current.empty()) fields.push_back(current);
            current.clear();
            if (*p == '\0') break;
        } else if (strchr("0123456789*,-/", *p)) {
            current += *p;
        } else {
            return std::string();  // nothing else may reach the crontab
        }
    }
    if (fields.size() != 5) return std::string();
    std::string normal;
    for (size_t i = 0; i < 5; ++i) {
        if (!ValidCronField(fields[i], rgCronFields[i])) return std::string();
        if (i) normal += ' ';
        normal += fields[i];
    }
    return normal;
}

// The paths of a custom target, or none when the text is not valid.
std::vector<std::string> CustomTargets(const char* szScanTarget) {
    std::vector<std::string> paths;
    if (!szScanTarget || szScanTarget[0] == '\0' || strlen(szScanTarget) > CB_MAX_TARGET)
        return paths;
    for (const std::string& path : Split(szScanTarget, ':')) {
        if (path.empty() || path[0] != '/' || path.size() >= 4096)
            return std::vector<std::string>();
        paths.push_back(path);
    }
    return paths;
}

bool ValidJob(const char* szTriggerTime, const char* szScanType, const char* szScanTarget) {
    if (!szScanType || !szScanTarget || HasControlChars(szScanTarget)) return false;
    if (NormalTriggerTime(szTriggerTime).empty()) return false;
    if (strcmp(szScanType, "full") == 0 || strcmp(szScanType, "system") == 0) return true;
    return strcmp(szScanType, "custom") == 0 && !CustomTargets(szScanTarget).empty();
}

// A private connection to the schedule database, with the table in place.
sqlite3* OpenSchedule() {
    std::string path = tavo::service::Resolve(TAVOAV_SCHEDULE_DB);
    if (path.empty() || tavo::files::MakeParentFolders(path) != 0) return nullptr;
    sqlite3* pDb = nullptr;
    if (sqlite3_open_v2(path.c_str(), &pDb, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
        sqlite3_close_v2(pDb);
        return nullptr;
    }
    sqlite3_busy_timeout(pDb, I_BUSY_TIMEOUT_MS);
    if (sqlite3_exec(pDb, rgScheduleSchema, nullptr, nullptr, nullptr) != SQLITE_OK) {
        sqlite3_close_v2(pDb);
        return nullptr;
    }
    return pDb;
}

struct Job {
    int activated;
    std::string triggerTime, scanType, scanTarget;
};

int ReadJobs(std::vector<Job>& jobs) {
    sqlite3* pDb = OpenSchedule();
    if (!pDb) return -1;
    sqlite3_stmt* pStmt = nullptr;
    int result = -1;
    if (sqlite3_prepare_v2(
            pDb, "SELECT activated, triggerTime, scanType, scanTarget FROM schedule ORDER BY rowid",
            -1, &pStmt, nullptr) == SQLITE_OK) {
        int rc;
        while ((rc = sqlite3_step(pStmt)) == SQLITE_ROW) {
            Job job;
            job.activated = sqlite3_column_int(pStmt, 0);
            for (int i = 1; i <= 3; ++i) {
                const unsigned char* szText = sqlite3_column_text(pStmt, i);
                std::string text = szText ? reinterpret_cast<const char*>(szText) : "";
                (i == 1 ? job.triggerTime : i == 2 ? job.scanType : job.scanTarget) = text;
            }
            jobs.push_back(job);
        }
        if (rc == SQLITE_DONE) result = 0;
    }
    sqlite3_finalize(pStmt);
    sqlite3_close_v2(pDb);
    return result;
}

// The crontab line of an activated job; *pFileList gets the file-list it
// made (custom scans). "" when the job is not valid or the list cannot be written.
std::string CronLine(const Job& job, std::string* pFileList) {
    pFileList->clear();
    if (!ValidJob(job.triggerTime.c_str(), job.scanType.c_str(), job.scanTarget.c_str()))
        return std::string();
    std::string line =
        NormalTriggerTime(job.triggerTime.c_str()) + " root " TAVOAV_SCANNER_PATH " ";
    if (job.scanType == "full") return line + "--all";
    if (job.scanType == "system") return line + "--system";

    PQLIBSZLIST pList = QLIBCSzListAlloc(64);
    if (!pList) return std::string();
    bool blOk = true;
    for (const std::string& path : CustomTargets(job.scanTarget.c_str()))
        if (QLIBCSzListPush(&pList, path.c_str()) != 0) blOk = false;
    char szFileList[4096] = {0};
    if (blOk && AVTransSZListToFileList(szFileList, sizeof(szFileList), pList) < 0) blOk = false;
    QLIBCSzListFree(pList);
    if (!blOk) return std::string();
    // The file-list name is made by the service; still, only plain characters go on the line.
    for (const char* p = szFileList; *p; ++p)
        if (!strchr("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789/._-", *p))
            return std::string();
    *pFileList = szFileList;
    return line + "-f " + szFileList;
}

// The file-lists named by the lines of an old block ("-f <path>" at the end).
void CollectFileLists(const std::string& line, std::set<std::string>& fileLists) {
    const std::string marker = " " TAVOAV_SCANNER_PATH " -f " TAVOAV_FILELIST_DIR "/";
    size_t pos = line.find(marker);
    if (pos == std::string::npos) return;
    std::string path = line.substr(pos + marker.size() - strlen(TAVOAV_FILELIST_DIR "/"));
    if (path.find("..") == std::string::npos && path.find(' ') == std::string::npos)
        fileLists.insert(path);
}

// Replaces the package's block of the crontab text by newBlock (no block when
// empty), keeping every other line as it was.
std::string ReplaceBlock(const std::string& text, const std::vector<std::string>& newBlock,
                         std::set<std::string>& oldFileLists) {
    std::vector<std::string> lines = Split(text, '\n');
    if (!lines.empty() && lines.back().empty()) lines.pop_back();  // the final line end
    std::vector<std::string> out;
    bool blInBlock = false;
    bool blPlaced = false;
    auto place = [&]() {
        if (blPlaced || newBlock.empty()) return;
        out.push_back(SZ_BLOCK_BEGIN);
        out.insert(out.end(), newBlock.begin(), newBlock.end());
        out.push_back(SZ_BLOCK_END);
        blPlaced = true;
    };
    for (const std::string& line : lines) {
        if (!blInBlock && line == SZ_BLOCK_BEGIN) {
            blInBlock = true;
            place();
            continue;
        }
        if (blInBlock) {
            if (line == SZ_BLOCK_END) {
                blInBlock = false;
                continue;
            }
            // Only the package's own lines go; a line someone else put
            // inside the block stays where it is.
            if (line.find(" root " TAVOAV_SCANNER_PATH " ") != std::string::npos) {
                CollectFileLists(line, oldFileLists);
                continue;
            }
        }
        out.push_back(line);
    }
    place();
    std::string result;
    for (const std::string& line : out) result += line + "\n";
    return result;
}

// The jobs in words, for the audit event of a schedule change.
std::string JobsText(const std::vector<Job>& jobs) {
    if (jobs.empty()) return "no jobs";
    std::string text;
    for (const Job& job : jobs) {
        if (!text.empty()) text += "; ";
        text += std::string(job.activated ? "on" : "off") + " \"" + job.triggerTime + "\" " +
                job.scanType;
        if (job.scanType == "custom") text += " " + job.scanTarget;
    }
    return text;
}

// A save clears the jobs, inserts the new ones and dumps them: the jobs the
// clear found are kept until the dump tells the change.
struct PendingChange {
    bool blCleared = false;
    std::vector<Job> before;
};
PendingChange& Pending() {
    static PendingChange pending;
    return pending;
}

}  // namespace

extern "C" {

int AVScheduleDBConnect(DBConnect** ppConn) {
    if (!ppConn) return ERR_TAVOAV_PARAMETER_ERROR;
    DBConnect* pConn = TAVODBConnect(nullptr, nullptr, nullptr, TAVOAV_SCHEDULE_DB);
    if (!pConn) return ERR_TAVOAV_DB_ACCESS_ERROR;
    if (TAVODBExecute(pConn, rgScheduleSchema, nullptr) != 0) {
        TAVODBClose(pConn);
        return ERR_TAVOAV_DB_ACCESS_ERROR;
    }
    *ppConn = pConn;
    return OKAY;
}

int AVScheduleDBClose(DBConnect* pConn) { return pConn ? TAVODBClose(pConn) : 0; }

int AVScheduleClear(DBConnect* pConn) {
    if (!pConn) return ERR_TAVOAV_PARAMETER_ERROR;
    std::vector<Job> before;
    const bool blRead = ReadJobs(before) == 0;
    sqlite3* pDb = OpenSchedule();
    if (!pDb) return ERR_TAVOAV_DB_ACCESS_ERROR;
    int rc = sqlite3_exec(pDb, "DELETE FROM schedule", nullptr, nullptr, nullptr);
    sqlite3_close_v2(pDb);
    if (rc != SQLITE_OK) return ERR_TAVOAV_DB_ACCESS_ERROR;
    Pending().blCleared = blRead;
    Pending().before = before;
    return OKAY;
}

int AVScheduleInsert(DBConnect* pConn, int iActivated, const char* szTriggerTime,
                     const char* szScanType, const char* szScanTarget) {
    if (!pConn || !ValidJob(szTriggerTime, szScanType, szScanTarget))
        return ERR_TAVOAV_PARAMETER_ERROR;
    sqlite3* pDb = OpenSchedule();
    if (!pDb) return ERR_TAVOAV_DB_ACCESS_ERROR;
    sqlite3_stmt* pStmt = nullptr;
    int rc =
        sqlite3_prepare_v2(pDb,
                           "INSERT INTO schedule (activated, triggerTime, scanType, scanTarget) "
                           "VALUES (?1, ?2, ?3, ?4)",
                           -1, &pStmt, nullptr);
    if (rc == SQLITE_OK) {
        sqlite3_bind_int(pStmt, 1, iActivated);
        sqlite3_bind_text(pStmt, 2, szTriggerTime, -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(pStmt, 3, szScanType, -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(pStmt, 4, szScanTarget, -1, SQLITE_TRANSIENT);
        rc = sqlite3_step(pStmt) == SQLITE_DONE ? SQLITE_OK : SQLITE_ERROR;
    }
    sqlite3_finalize(pStmt);
    sqlite3_close_v2(pDb);
    return rc == SQLITE_OK ? OKAY : ERR_TAVOAV_DB_ACCESS_ERROR;
}

}  // extern "C"

namespace tavo::service {

int DumpCrontab() {
    std::vector<Job> jobs;
    if (ReadJobs(jobs) != 0) return ERR_TAVOAV_DB_ACCESS_ERROR;

    std::vector<std::string> block;
    std::set<std::string> newFileLists;
    auto dropNewFileLists = [&]() {
        for (const std::string& fileList : newFileLists) {
            std::string real = tavo::service::Resolve(fileList.c_str());
            if (!real.empty()) unlink(real.c_str());
        }
    };
    for (const Job& job : jobs) {
        if (!job.activated) continue;
        std::string fileList;
        std::string line = CronLine(job, &fileList);
        if (!fileList.empty()) newFileLists.insert(fileList);
        if (line.empty()) {
            dropNewFileLists();
            return ERR_TAVOAV_PARAMETER_ERROR;  // the crontab stays as it was
        }
        block.push_back(line);
    }
    const std::string updateLine = tavo::service::CronLine();
    if (!updateLine.empty()) block.push_back(updateLine);

    std::string crontab = tavo::service::Resolve(SZ_CRONTAB);
    std::string lockPath = tavo::service::Resolve(SZ_CRONTAB_LOCK);
    if (crontab.empty() || lockPath.empty() || tavo::files::MakeParentFolders(crontab) != 0) {
        dropNewFileLists();
        return ERR_TAVOAV_EXE_ERROR;
    }
    std::set<std::string> oldFileLists;
    int result = ERR_TAVOAV_EXE_ERROR;
    {
        tavo::files::FileLock lock(lockPath + ".lock");
        std::string text;
        mode_t mode = 0644;
        bool blReadOk = lock.Locked();
        FILE* fp = blReadOk ? fopen(crontab.c_str(), "re") : nullptr;
        if (fp) {
            struct stat st;
            if (fstat(fileno(fp), &st) == 0) mode = st.st_mode & 07777;
            char buffer[8192];
            size_t n;
            while ((n = fread(buffer, 1, sizeof(buffer), fp)) > 0) text.append(buffer, n);
            if (ferror(fp)) blReadOk = false;
            fclose(fp);
        } else if (blReadOk && errno != ENOENT) {
            blReadOk = false;
        }
        if (blReadOk && tavo::files::WriteFileAtomic(
                            crontab, ReplaceBlock(text, block, oldFileLists), mode) == 0)
            result = OKAY;
    }
    if (result != OKAY) {
        dropNewFileLists();
        return result;
    }
    // The lists of the replaced lines are no longer used by any job.
    for (const std::string& fileList : oldFileLists) {
        if (newFileLists.count(fileList)) continue;
        std::string real = tavo::service::Resolve(fileList.c_str());
        if (!real.empty()) unlink(real.c_str());
    }
    if (Pending().blCleared) {
        const std::string before = JobsText(Pending().before);
        const std::string after = JobsText(jobs);
        Pending() = PendingChange();
        if (before != after)
            tavo::service::Audit("info", "schedule",
                                 "Schedule changed by " + tavo::service::Requester() + " from " +
                                     before + " to " + after);
    }
    return OKAY;
}

}  // namespace tavo::service

extern "C" {

int AVScheduleDump2Crontab(DBConnect* pConn) {
    if (!pConn) return ERR_TAVOAV_PARAMETER_ERROR;
    return tavo::service::DumpCrontab();
}

}  // extern "C"
