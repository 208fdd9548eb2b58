// The per-volume quarantine stores and the list of failed moves.
//
// A volume is a folder /volume<N> (N from 1, no leading zero) under the root.
// Its quarantine is the folder TAVOAV_QUARANTINE_DIR_NAME on it, holding the
// stored files under names "tq_" + 24 hex digits and the SQLite database
// QUARANTINE_DB_NAME with one row per item. Every change of a store is one
// IMMEDIATE transaction around the file operation, ordered so that a process
// killed between the steps never loses a file:
//   put:     insert row, link the file in, commit, remove the old name
//            (killed before the commit: the file is still in place; after
//            it: the file is stored and possibly still in place)
//   delete:  delete row, commit, unlink the stored file (killed in between:
//            an unlisted file in the folder, never a listed item without it)
//   restore: delete row, link the file back, commit, unlink the stored name
//            (killed before the commit: the item is still listed; after it:
//            the file is back, possibly with a stored copy left)
// A failed commit undoes the file step where it can. Peers wait for each
// other through the busy timeout instead of failing at once.
//
// Share users write the volumes and may swap any folder for a symbolic link
// while we work. So every file operation on a volume goes through folder
// handles: paths are resolved beneath the volume's folder without following
// any link (tavo::files::OpenBeneath), folders are made with mkdirat and
// files placed with linkat/renameat relative to those handles. A file is put
// into quarantine only when it is still the very file (device and inode) the
// caller checked.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sqlite3.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include <dirent.h>

#include "audit.h"
#include "sqlite_statement.h"
#include "tavo/files.h"
#include "tavo/log.h"
#include "tavo/tavoav_engine.h"
#include "tavo/tavoav_history.h"

namespace {

using tavo::files::UniqueFd;
using tavo::service::Exec;
using tavo::service::LocalTimeText;
using tavo::service::Rollback;
using tavo::service::Statement;

constexpr int kBusyTimeoutMs = 60000;
// The item database inside a volume's quarantine folder; stored names never
// start with a dot.
#define QUARANTINE_DB_NAME ".quarantine.db"

const char kItemSchema[] =
    "CREATE TABLE IF NOT EXISTS quarantine ("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " renamed_name TEXT NOT NULL UNIQUE,"
    " original_path TEXT NOT NULL,"
    " threat TEXT NOT NULL,"
    " time TEXT NOT NULL)";
// dev and ino name the file the scanner judged (0 when unknown), so that a
// retry never moves another file put at the same path; reason says in words
// why the last move failed.
const char kFailedSchema[] =
    "CREATE TABLE IF NOT EXISTS failed ("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " path TEXT NOT NULL UNIQUE,"
    " threat TEXT NOT NULL,"
    " time TEXT NOT NULL,"
    " dev INTEGER NOT NULL DEFAULT 0,"
    " ino INTEGER NOT NULL DEFAULT 0,"
    " reason TEXT NOT NULL DEFAULT '')";
// Lists made before dev, ino and reason existed get them on first use.
const char* const rgFailedUpgrades[] = {
    "ALTER TABLE failed ADD COLUMN dev INTEGER NOT NULL DEFAULT 0",
    "ALTER TABLE failed ADD COLUMN ino INTEGER NOT NULL DEFAULT 0",
    "ALTER TABLE failed ADD COLUMN reason TEXT NOT NULL DEFAULT ''",
};

// The real path of an appliance path, "" when it cannot be resolved.
std::string Real(const std::string& appliancePath) {
    char szOut[PATH_MAX];
    if (TAVOResolvePath(appliancePath.c_str(), szOut, sizeof szOut) != 0) return "";
    return szOut;
}

// Number of a volume name "volume<N>", 0 when the name is not one.
long VolumeNumber(const char* szName, size_t cch) {
    static const char kPrefix[] = "volume";
    const size_t cchPrefix = sizeof kPrefix - 1;
    if (cch <= cchPrefix || cch > cchPrefix + 9 || strncmp(szName, kPrefix, cchPrefix) != 0)
        return 0;
    if (szName[cchPrefix] < '1' || szName[cchPrefix] > '9') return 0;
    long number = 0;
    for (size_t i = cchPrefix; i < cch; ++i) {
        if (szName[i] < '0' || szName[i] > '9') return 0;
        number = number * 10 + (szName[i] - '0');
    }
    return number;
}

bool IsDir(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool Exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// Fills the appliance paths of the quarantine of szVolume ("/volume<N>", an
// existing folder). 0 on success.
int VolumeQuarantinePath(const char* szVolume, QUARANTINE_PATH* pPath) {
    if (!szVolume || szVolume[0] != '/') return -1;
    if (VolumeNumber(szVolume + 1, strlen(szVolume + 1)) == 0) return -1;
    std::string realVolume = Real(szVolume);
    if (realVolume.empty() || !IsDir(realVolume)) return -1;
    QUARANTINE_PATH path;
    memset(&path, 0, sizeof path);
    snprintf(path.szVolumePath, sizeof path.szVolumePath, "%s", szVolume);
    snprintf(path.szDirPath, sizeof path.szDirPath, "%s/%s", szVolume, TAVOAV_QUARANTINE_DIR_NAME);
    snprintf(path.szDBPath, sizeof path.szDBPath, "%s/%s/%s", szVolume, TAVOAV_QUARANTINE_DIR_NAME,
             QUARANTINE_DB_NAME);
    *pPath = path;
    return 0;
}

// Volumes that have a quarantine folder, in volume number order.
int ListQuarantineVolumes(std::vector<std::string>* pVolumes) {
    const char* szRoot = TAVORootDir();
    if (!szRoot) return -1;
    DIR* dir = opendir(szRoot);
    if (!dir) return -1;
    std::vector<std::pair<long, std::string>> found;
    std::string root = szRoot;
    if (root.empty() || root.back() != '/') root += '/';
    while (struct dirent* entry = readdir(dir)) {
        long number = VolumeNumber(entry->d_name, strlen(entry->d_name));
        if (number == 0) continue;
        if (!IsDir(root + entry->d_name + "/" + TAVOAV_QUARANTINE_DIR_NAME)) continue;
        found.emplace_back(number, std::string("/") + entry->d_name);
    }
    closedir(dir);
    std::sort(found.begin(), found.end());
    pVolumes->clear();
    for (auto& volume : found) pVolumes->push_back(std::move(volume.second));
    return 0;
}

// Opens (and with blCreate creates) a database with the given schema.
sqlite3* OpenDB(const std::string& realPath, bool blCreate, const char* szSchema) {
    if (!blCreate && !Exists(realPath)) return nullptr;
    sqlite3* db = nullptr;
    int flags = SQLITE_OPEN_READWRITE | (blCreate ? SQLITE_OPEN_CREATE : 0);
    if (sqlite3_open_v2(realPath.c_str(), &db, flags, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return nullptr;
    }
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    if (Exec(db, szSchema) != 0) {
        sqlite3_close(db);
        return nullptr;
    }
    return db;
}

void CopyText(char (&dest)[1024], const std::string& text) {
    size_t cch = std::min(text.size(), sizeof dest - 1);
    memcpy(dest, text.data(), cch);
    dest[cch] = '\0';
}

struct Item {
    std::string renamedName;
    std::string originalPath;
    std::string threat;
    std::string time;
};

QUARANTINE_FILE ToRecord(const Item& item) {
    QUARANTINE_FILE file;
    memset(&file, 0, sizeof file);
    CopyText(file.szOriginalPath, item.originalPath);
    CopyText(file.szRenamedName, item.renamedName);
    CopyText(file.szThreat, item.threat);
    CopyText(file.szTime, item.time);
    return file;
}

// 1: found, 0: no such item, -1: database error.
int FindItem(sqlite3* db, const std::string& name, Item* pItem) {
    Statement stmt(db,
                   "SELECT renamed_name, original_path, threat, time FROM quarantine"
                   " WHERE renamed_name = ?1");
    if (!stmt.Ok()) return -1;
    stmt.Bind(1, name);
    int rc = stmt.Step();
    if (rc == SQLITE_DONE) return 0;
    if (rc != SQLITE_ROW) return -1;
    *pItem = Item{stmt.Text(0), stmt.Text(1), stmt.Text(2), stmt.Text(3)};
    return 1;
}

int ReadItems(sqlite3* db, std::vector<Item>* pItems) {
    Statement stmt(db,
                   "SELECT renamed_name, original_path, threat, time FROM quarantine ORDER BY id");
    if (!stmt.Ok()) return -1;
    pItems->clear();
    int rc;
    while ((rc = stmt.Step()) == SQLITE_ROW)
        pItems->push_back(Item{stmt.Text(0), stmt.Text(1), stmt.Text(2), stmt.Text(3)});
    return rc == SQLITE_DONE ? 0 : -1;
}

int DeleteRow(sqlite3* db, const std::string& name) {
    Statement stmt(db, "DELETE FROM quarantine WHERE renamed_name = ?1");
    if (!stmt.Ok()) return -1;
    stmt.Bind(1, name);
    return stmt.Step() == SQLITE_DONE && sqlite3_changes(db) == 1 ? 0 : -1;
}

int InsertRow(sqlite3* db, const Item& item) {
    Statement stmt(db,
                   "INSERT INTO quarantine (renamed_name, original_path, threat, time) VALUES (?1, "
                   "?2, ?3, ?4)");
    if (!stmt.Ok()) return -1;
    stmt.Bind(1, item.renamedName)
        .Bind(2, item.originalPath)
        .Bind(3, item.threat)
        .Bind(4, item.time);
    return stmt.Step() == SQLITE_DONE ? 0 : -1;
}

// A stored name reaches a file only when it is a plain name in the folder.
bool IsPlainName(const char* szName, size_t cbName) {
    if (!szName || cbName == 0 || cbName >= 1024) return false;
    if (memchr(szName, '\0', cbName) || memchr(szName, '/', cbName)) return false;
    std::string name(szName, cbName);
    return name != "." && name.find("..") == std::string::npos;
}

// A path relative to a volume that stays inside it: "/a/b", without "."
// or ".." components and outside the quarantine folder.
bool IsSafeRelativePath(const std::string& path) {
    if (path.size() < 2 || path[0] != '/' || path.size() >= PATH_MAX) return false;
    size_t pos = 1;
    bool blFirst = true;
    while (pos <= path.size()) {
        size_t slash = path.find('/', pos);
        if (slash == std::string::npos) slash = path.size();
        std::string component = path.substr(pos, slash - pos);
        if (component.empty() || component == "." || component == "..") return false;
        if (blFirst && component == TAVOAV_QUARANTINE_DIR_NAME) return false;
        blFirst = false;
        pos = slash + 1;
    }
    return true;
}

// The folder of a volume, opened without following a link.
UniqueFd OpenVolumeFolder(const QUARANTINE_PATH& path) {
    std::string real = Real(path.szVolumePath);
    if (real.empty()) return UniqueFd();
    return UniqueFd(open(real.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

// The quarantine folder of a volume; with blCreate it is made (0700) first
// when missing.
UniqueFd OpenStoreFolder(int volumeFd, bool blCreate) {
    if (blCreate && mkdirat(volumeFd, TAVOAV_QUARANTINE_DIR_NAME, 0700) != 0 && errno != EEXIST)
        return UniqueFd();
    return tavo::files::OpenBeneath(volumeFd, TAVOAV_QUARANTINE_DIR_NAME, O_RDONLY | O_DIRECTORY);
}

// What a folder handle walk answers when a link (or a file) stands where a
// folder should be: ELOOP from openat2 or O_NOFOLLOW, ENOTDIR with O_DIRECTORY.
bool BlockedOnTheWay(int err) { return err == ELOOP || err == ENOTDIR; }
const char kBlockedReason[] = "a symbolic link or a file on its path";

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Gives the entry fromName of the folder fromFd the new name toName in toFd,
// never replacing one and never following a link, by a hard link, so that
// the old name is removed only after the record is committed: a process
// killed in between leaves the file under both names, never under neither.
// *pblLinked tells the caller to unlink the old name afterwards; where the
// file system has no hard links the file is moved at once instead.
int PlaceNoReplace(int fromFd, const std::string& fromName, int toFd, const std::string& toName,
                   bool* pblLinked) {
    *pblLinked = false;
    if (linkat(fromFd, fromName.c_str(), toFd, toName.c_str(), 0) == 0) {
        *pblLinked = true;
        return 0;
    }
    if (errno == EEXIST || errno == ENOENT) return -1;
    return renameat2(fromFd, fromName.c_str(), toFd, toName.c_str(), RENAME_NOREPLACE);
}

// Takes back what PlaceNoReplace did. 0 on success.
int UndoPlace(int fromFd, const std::string& fromName, int toFd, const std::string& toName,
              bool blLinked) {
    if (blLinked) return unlinkat(toFd, toName.c_str(), 0);
    return renameat2(toFd, toName.c_str(), fromFd, fromName.c_str(), RENAME_NOREPLACE);
}

std::string NewStoredName() {
    unsigned char bytes[12];
    size_t got = 0;
    while (got < sizeof bytes) {
        ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
        if (n <= 0) {
            // Without random bytes, time and pid still tell names apart.
            uint64_t mix = static_cast<uint64_t>(time(nullptr)) ^
                           (static_cast<uint64_t>(getpid()) << 32) ^
                           reinterpret_cast<uintptr_t>(&mix) ^ clock();
            for (size_t i = got; i < sizeof bytes; ++i)
                bytes[i] = static_cast<unsigned char>(mix >> ((i % 8) * 8));
            break;
        }
        got += static_cast<size_t>(n);
    }
    static const char kHex[] = "0123456789abcdef";
    std::string name = "tq_";
    for (unsigned char b : bytes) {
        name += kHex[b >> 4];
        name += kHex[b & 15];
    }
    return name;
}

// How one item operation of a store ended, beyond its QUARANTINE_ERROR.
enum class ItemOutcome { Done, Gone, Failed };

// The store folder of a connection, reached from the volume without a link.
UniqueFd OpenConnStore(const QUARANTINE_CONN* pConn, UniqueFd* pVolumeFd = nullptr) {
    UniqueFd volumeFd = OpenVolumeFolder(pConn->path);
    if (!volumeFd) return UniqueFd();
    UniqueFd storeFd = OpenStoreFolder(volumeFd.Get(), false);
    if (pVolumeFd) *pVolumeFd = std::move(volumeFd);
    return storeFd;
}

QUARANTINE_ERROR DeleteItem(QUARANTINE_CONN* pConn, const std::string& name, ItemOutcome* pOutcome,
                            Item* pDeleted = nullptr) {
    *pOutcome = ItemOutcome::Failed;
    sqlite3* db = pConn->dbHandle;
    UniqueFd storeFd = OpenConnStore(pConn);
    if (!storeFd) return AVQ_ERR_DIR_NOT_FOUND;
    if (Exec(db, "BEGIN IMMEDIATE") != 0) return AVQ_ERR_DBOP_FAIL;
    Item item;
    int found = FindItem(db, name, &item);
    if (found <= 0) {
        Rollback(db);
        if (found == 0) *pOutcome = ItemOutcome::Gone;
        return AVQ_ERR_DBOP_FAIL;
    }
    if (DeleteRow(db, name) != 0) {
        Rollback(db);
        return AVQ_ERR_DBOP_FAIL;
    }
    // The record goes first: a process killed before the unlink leaves an
    // unlisted file in the folder, never a listed item without its file.
    if (Exec(db, "COMMIT") != 0) {
        Rollback(db);
        return AVQ_ERR_DBOP_FAIL;
    }
    // A stored file that is already gone leaves only its row to remove.
    if (unlinkat(storeFd.Get(), name.c_str(), 0) != 0 && errno != ENOENT) {
        int saved = errno;
        if (InsertRow(db, item) != 0)
            TAVO_LOG(LOG_ERR, "quarantined file %s kept without record after: %s", name.c_str(),
                     strerror(saved));
        return AVQ_ERR_REMOVE_FAIL;
    }
    if (pDeleted) *pDeleted = item;
    *pOutcome = ItemOutcome::Done;
    return AVQ_ERR_OK;
}

// Puts a stored file back at its original place on the volume. The folders
// on the way are opened (and the missing ones made) beneath the volume's
// folder without following a link: a link a user planted there fails the
// item, and nothing is made or moved through it.
QUARANTINE_ERROR RestoreItem(QUARANTINE_CONN* pConn, const std::string& name,
                             std::string* pFullPath, ItemOutcome* pOutcome,
                             std::string* pThreat = nullptr) {
    *pOutcome = ItemOutcome::Failed;
    sqlite3* db = pConn->dbHandle;
    UniqueFd volumeFd;
    UniqueFd storeFd = OpenConnStore(pConn, &volumeFd);
    if (!storeFd) return AVQ_ERR_DIR_NOT_FOUND;
    if (Exec(db, "BEGIN IMMEDIATE") != 0) return AVQ_ERR_DBOP_FAIL;
    Item item;
    int found = FindItem(db, name, &item);
    if (found <= 0) {
        Rollback(db);
        if (found == 0) *pOutcome = ItemOutcome::Gone;
        return AVQ_ERR_DBOP_FAIL;
    }
    if (!IsSafeRelativePath(item.originalPath)) {
        Rollback(db);
        return AVQ_ERR_UNKNOWN;
    }
    struct stat st;
    if (fstatat(storeFd.Get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        Rollback(db);
        return AVQ_ERR_SOURCE_MISSING;
    }
    const size_t slash = item.originalPath.rfind('/');
    const std::string parent = item.originalPath.substr(0, slash);
    const std::string leaf = item.originalPath.substr(slash + 1);
    UniqueFd destFd = tavo::files::OpenBeneath(volumeFd.Get(), parent, O_RDONLY | O_DIRECTORY);
    const bool blMissing = !destFd && errno == ENOENT;
    if (!destFd && !blMissing) {
        int err = errno;
        Rollback(db);
        TAVO_LOG(LOG_WARNING, "restore of %s to %s refused: %s", name.c_str(),
                 pConn->path.szVolumePath, BlockedOnTheWay(err) ? kBlockedReason : strerror(err));
        return BlockedOnTheWay(err) ? AVQ_ERR_MOVE_FAIL : AVQ_ERR_DIR_NOT_FOUND;
    }
    if (destFd && fstatat(destFd.Get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        Rollback(db);
        return AVQ_ERR_DEST_EXIST;
    }
    std::vector<std::string> created;
    if (blMissing) {
        destFd = tavo::files::MakeFoldersBeneath(volumeFd.Get(), parent, 0755, &created);
        if (!destFd) {
            int err = errno;
            Rollback(db);
            TAVO_LOG(LOG_WARNING, "restore of %s to %s refused: %s", name.c_str(),
                     pConn->path.szVolumePath,
                     BlockedOnTheWay(err) ? kBlockedReason : strerror(err));
            return BlockedOnTheWay(err) ? AVQ_ERR_MOVE_FAIL : AVQ_ERR_DIR_NOT_FOUND;
        }
    }
    if (DeleteRow(db, name) != 0) {
        tavo::files::RemoveFoldersBeneath(volumeFd.Get(), created);
        Rollback(db);
        return AVQ_ERR_DBOP_FAIL;
    }
    bool blLinked = false;
    if (PlaceNoReplace(storeFd.Get(), name, destFd.Get(), leaf, &blLinked) != 0) {
        QUARANTINE_ERROR err = errno == EEXIST ? AVQ_ERR_DEST_EXIST : AVQ_ERR_MOVE_FAIL;
        tavo::files::RemoveFoldersBeneath(volumeFd.Get(), created);
        Rollback(db);
        return err;
    }
    if (Exec(db, "COMMIT") != 0) {
        Rollback(db);
        // The row is still there: put the file back under it.
        if (UndoPlace(storeFd.Get(), name, destFd.Get(), leaf, blLinked) == 0)
            tavo::files::RemoveFoldersBeneath(volumeFd.Get(), created);
        return AVQ_ERR_DBOP_FAIL;
    }
    if (blLinked && unlinkat(storeFd.Get(), name.c_str(), 0) != 0 && errno != ENOENT)
        TAVO_LOG(LOG_ERR, "restored item %s left a copy in the quarantine of %s", name.c_str(),
                 pConn->path.szVolumePath);
    tavo::files::SyncFolder(destFd.Get());
    if (pFullPath) *pFullPath = std::string(pConn->path.szVolumePath) + item.originalPath;
    if (pThreat) *pThreat = item.threat;
    *pOutcome = ItemOutcome::Done;
    return AVQ_ERR_OK;
}

// An appliance path on a volume, split for the moves.
struct VolumeFile {
    QUARANTINE_PATH store;
    std::string relative;  // "/dir/name" below the volume
    std::string parent;    // "/dir" ("" for a file at the top)
    std::string leaf;      // "name"
};

QUARANTINE_ERROR SplitVolumeFile(const char* szPath, VolumeFile* pFile) {
    if (!szPath || szPath[0] != '/') return AVQ_ERR_UNKNOWN;
    const char* pSlash = strchr(szPath + 1, '/');
    if (!pSlash) return AVQ_ERR_UNKNOWN;
    std::string volume(szPath, pSlash - szPath);
    if (VolumeQuarantinePath(volume.c_str(), &pFile->store) != 0) return AVQ_ERR_DIR_NOT_FOUND;
    pFile->relative = pSlash;
    if (!IsSafeRelativePath(pFile->relative)) return AVQ_ERR_UNKNOWN;
    const size_t slash = pFile->relative.rfind('/');
    pFile->parent = pFile->relative.substr(0, slash);
    pFile->leaf = pFile->relative.substr(slash + 1);
    return AVQ_ERR_OK;
}

// Moves the entry `leaf` of the folder sourceFd (the file at file.relative)
// into its volume's quarantine without touching the failed list. With
// pExpected, only when it is still that file (device and inode), and the old
// name is removed only while it still names it. *pReason says why it failed.
QUARANTINE_ERROR PutFileAt(int sourceFd, const VolumeFile& file, const struct stat* pExpected,
                           const char* szThreat, std::string* pReason) {
    struct stat st;
    if (fstatat(sourceFd, file.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        *pReason = strerror(errno);
        return errno == ENOENT ? AVQ_ERR_SOURCE_MISSING : AVQ_ERR_MOVE_FAIL;
    }
    if (!S_ISREG(st.st_mode)) {
        *pReason = "not a regular file";
        return AVQ_ERR_MOVE_FAIL;
    }
    if (pExpected && !SameFile(st, *pExpected)) {
        *pReason = "the file was replaced after it was scanned";
        return AVQ_ERR_MOVE_FAIL;
    }
    UniqueFd volumeFd = OpenVolumeFolder(file.store);
    UniqueFd storeFd = volumeFd ? OpenStoreFolder(volumeFd.Get(), true) : UniqueFd();
    if (!storeFd) {
        *pReason = std::string("cannot open the quarantine folder: ") + strerror(errno);
        return AVQ_ERR_DIR_NOT_FOUND;
    }
    sqlite3* db = OpenDB(Real(file.store.szDBPath), true, kItemSchema);
    if (!db) {
        *pReason = "cannot open the quarantine database";
        return AVQ_ERR_DBOP_FAIL;
    }

    QUARANTINE_ERROR err = AVQ_ERR_OK;
    bool blLinked = false;
    bool blCommitted = false;
    const std::string name = NewStoredName();
    const char* szReplaced = "the file was replaced while it was moved";
    struct stat stNow;
    if (Exec(db, "BEGIN IMMEDIATE") != 0) {
        err = AVQ_ERR_DBOP_FAIL;
        *pReason = "the quarantine database is busy or failing";
    } else {
        Statement insert(db,
                         "INSERT INTO quarantine (renamed_name, original_path, threat, time)"
                         " VALUES (?1, ?2, ?3, ?4)");
        insert.Bind(1, name)
            .Bind(2, file.relative)
            .Bind(3, szThreat ? szThreat : "")
            .Bind(4, LocalTimeText());
        if (!insert.Ok() || insert.Step() != SQLITE_DONE) {
            err = AVQ_ERR_DBOP_FAIL;
            *pReason = "cannot record the item";
        } else if (PlaceNoReplace(sourceFd, file.leaf, storeFd.Get(), name, &blLinked) != 0) {
            err = AVQ_ERR_MOVE_FAIL;
            *pReason = strerror(errno);
        } else if (fstatat(storeFd.Get(), name.c_str(), &stNow, AT_SYMLINK_NOFOLLOW) != 0 ||
                   !SameFile(stNow, st)) {
            // The name was pointed at another file between the check and the
            // link: that one is not ours to take.
            err = AVQ_ERR_MOVE_FAIL;
            *pReason = szReplaced;
            if (UndoPlace(sourceFd, file.leaf, storeFd.Get(), name, blLinked) != 0)
                TAVO_LOG(LOG_ERR, "file %s left in the quarantine folder as %s",
                         file.relative.c_str(), name.c_str());
        } else if (Exec(db, "COMMIT") != 0) {
            // No row for the stored file: give the file back.
            err = AVQ_ERR_DBOP_FAIL;
            *pReason = "cannot record the item";
            if (UndoPlace(sourceFd, file.leaf, storeFd.Get(), name, blLinked) != 0)
                TAVO_LOG(LOG_ERR, "quarantined file %s left without record as %s",
                         file.relative.c_str(), name.c_str());
        } else {
            blCommitted = true;
            // The old name goes only while it still names the stored file.
            const char* szKept = nullptr;
            if (!blLinked) {
            } else if (fstatat(sourceFd, file.leaf.c_str(), &stNow, AT_SYMLINK_NOFOLLOW) != 0) {
                if (errno != ENOENT) szKept = strerror(errno);
            } else if (!SameFile(stNow, st)) {
                szKept = szReplaced;
            } else if (unlinkat(sourceFd, file.leaf.c_str(), 0) != 0 && errno != ENOENT) {
                szKept = strerror(errno);
            }
            if (szKept) {
                // The file stays where it was: so the record goes again.
                err = AVQ_ERR_MOVE_FAIL;
                *pReason = szKept;
                if (DeleteRow(db, name) != 0 || unlinkat(storeFd.Get(), name.c_str(), 0) != 0)
                    TAVO_LOG(LOG_ERR, "file %s is both in place and quarantined as %s",
                             file.relative.c_str(), name.c_str());
            }
        }
        if (err != AVQ_ERR_OK && !blCommitted) Rollback(db);
    }
    sqlite3_close(db);
    if (err == AVQ_ERR_OK) tavo::files::SyncFolder(storeFd.Get());
    return err;
}

// Moves the file at szPath into its volume's quarantine, reaching it from the
// volume's folder without following a link.
QUARANTINE_ERROR PutFile(const char* szPath, const struct stat* pExpected, const char* szThreat,
                         std::string* pReason) {
    VolumeFile file;
    QUARANTINE_ERROR err = SplitVolumeFile(szPath, &file);
    if (err != AVQ_ERR_OK) {
        *pReason = err == AVQ_ERR_UNKNOWN ? "not a path on a volume" : "no such volume";
        return err;
    }
    UniqueFd volumeFd = OpenVolumeFolder(file.store);
    if (!volumeFd) {
        *pReason = "no such volume";
        return AVQ_ERR_DIR_NOT_FOUND;
    }
    UniqueFd sourceFd =
        tavo::files::OpenBeneath(volumeFd.Get(), file.parent, O_RDONLY | O_DIRECTORY);
    if (!sourceFd) {
        if (errno == ENOENT) return AVQ_ERR_SOURCE_MISSING;
        *pReason = BlockedOnTheWay(errno) ? kBlockedReason : strerror(errno);
        return AVQ_ERR_MOVE_FAIL;
    }
    return PutFileAt(sourceFd.Get(), file, pExpected, szThreat, pReason);
}

// The list of failed moves.
sqlite3* OpenFailedDB() {
    std::string real = Real(TAVOAV_FAILED_DB);
    if (real.empty()) return nullptr;
    if (tavo::files::MakeParentFolders(real) != 0) return nullptr;
    sqlite3* db = OpenDB(real, true, kFailedSchema);
    if (!db) return nullptr;
    // An older list lacks the newer columns; adding one that exists fails
    // harmlessly, so each is tried once per open.
    Statement columns(db, "SELECT COUNT(*) FROM pragma_table_info('failed') WHERE name = 'reason'");
    if (columns.Ok() && columns.Step() == SQLITE_ROW && columns.Int(0) == 0) {
        for (const char* szUpgrade : rgFailedUpgrades) Exec(db, szUpgrade);
    }
    return db;
}

int64_t CountFailed(sqlite3* db) {
    Statement stmt(db, "SELECT COUNT(*) FROM failed");
    if (!stmt.Ok() || stmt.Step() != SQLITE_ROW) return -1;
    return stmt.Int(0);
}

// Brings mvFailedCnt, the UI state and the re-process and clear buttons in
// line with the failed list, unless a scan runs (its end does that).
struct FailedStateCtx {
    int64_t count;
    bool blEndReprocessing;
};

int ApplyFailedCount(TAVOAV_ENGINE_STATE* pState, void* ctx) {
    const FailedStateCtx* pCtx = static_cast<const FailedStateCtx*>(ctx);
    pState->stat.mvFailedCnt = pCtx->count;
    if (pCtx->blEndReprocessing) {
        pState->stat.isReprocessing = FALSE;
        pState->reprocessPid = 0;
        pState->reprocessStartTicks = 0;
    }
    if (pState->scannerPid != 0 || pState->stat.isReprocessing) return 0;
    BOOL blNoFailures = pCtx->count == 0 ? TRUE : FALSE;
    pState->buttons.isClearDisabled = blNoFailures;
    pState->buttons.isReProcessDisabled = blNoFailures;
    if (pState->uiState == UI_STATE_SECURE || pState->uiState == UI_STATE_DANGER ||
        pState->uiState == UI_STATE_REPROCESSING)
        pState->uiState = pCtx->count != 0 ? UI_STATE_DANGER : UI_STATE_SECURE;
    return 0;
}

int SyncFailedCount(sqlite3* db, bool blEndReprocessing) {
    FailedStateCtx ctx{CountFailed(db), blEndReprocessing};
    if (ctx.count < 0) return -1;
    return AVEngStateModify(ApplyFailedCount, &ctx);
}

// Records (or records again) a failed move with the file it was about, when
// known, and the reason in words.
int AddFailed(const char* szPath, const char* szThreat, const struct stat* pFile,
              const std::string& reason) {
    sqlite3* db = OpenFailedDB();
    if (!db) return -1;
    int result;
    {
        Statement insert(db,
                         "INSERT OR REPLACE INTO failed (path, threat, time, dev, ino, reason)"
                         " VALUES (?1, ?2, ?3, ?4, ?5, ?6)");
        insert.Bind(1, szPath).Bind(2, szThreat ? szThreat : "").Bind(3, LocalTimeText());
        insert.BindInt(4, pFile ? static_cast<int64_t>(pFile->st_dev) : 0);
        insert.BindInt(5, pFile ? static_cast<int64_t>(pFile->st_ino) : 0);
        insert.Bind(6, reason);
        result = insert.Ok() && insert.Step() == SQLITE_DONE ? 0 : -1;
    }
    if (SyncFailedCount(db, false) != 0) result = -1;
    sqlite3_close(db);
    return result;
}

// The re-processing records its process, so that one that dies midway does
// not leave the engine "reprocessing" for good.
int BeginReprocessing(TAVOAV_ENGINE_STATE* pState, void*) {
    pState->stat.isReprocessing = TRUE;
    pState->reprocessPid = getpid();
    pState->reprocessStartTicks = AVEngProcessStartTicks(getpid());
    if (pState->uiState == UI_STATE_SECURE || pState->uiState == UI_STATE_DANGER)
        pState->uiState = UI_STATE_REPROCESSING;
    return 0;
}

int EndReprocessingOnly(TAVOAV_ENGINE_STATE* pState, void*) {
    pState->stat.isReprocessing = FALSE;
    pState->reprocessPid = 0;
    pState->reprocessStartTicks = 0;
    pState->buttons.isClearDisabled = pState->stat.mvFailedCnt == 0 ? TRUE : FALSE;
    pState->buttons.isReProcessDisabled = pState->buttons.isClearDisabled;
    if (pState->uiState == UI_STATE_REPROCESSING)
        pState->uiState = pState->stat.mvFailedCnt != 0 ? UI_STATE_DANGER : UI_STATE_SECURE;
    return 0;
}

// Opens the store of one volume for the all-items operations.
QUARANTINE_CONN* OpenVolume(const std::string& volume) {
    QUARANTINE_PATH path;
    QUARANTINE_CONN* pConn = nullptr;
    if (AVQuarantineGet(volume.c_str(), &path) != 0) return nullptr;
    if (AVQuarantineConnect(&path, &pConn) != 0) return nullptr;
    return pConn;
}

int64_t CountItems(sqlite3* db) {
    Statement stmt(db, "SELECT COUNT(*) FROM quarantine");
    return stmt.Ok() && stmt.Step() == SQLITE_ROW ? stmt.Int(0) : -1;
}

// Items whose records a delete-all removes in one transaction: one commit
// (and its sync) per item would make emptying a large quarantine slow.
const size_t kDeleteBatch = 256;

// Delete-all of one volume's items. The records of a batch go in one
// transaction, then their files, so a process killed in between leaves
// unlisted files in the folder, never a listed item without its file.
// Refused items come back with their reason; items another process removed
// meanwhile are passed over.
std::vector<std::pair<const Item*, QUARANTINE_ERROR>> DeleteItems(QUARANTINE_CONN* pConn,
                                                                  const std::vector<Item>& items) {
    std::vector<std::pair<const Item*, QUARANTINE_ERROR>> refused;
    sqlite3* db = pConn->dbHandle;
    UniqueFd storeFd = OpenConnStore(pConn);
    for (size_t first = 0; first < items.size(); first += kDeleteBatch) {
        const size_t last = std::min(items.size(), first + kDeleteBatch);
        std::vector<const Item*> removed;
        if (Exec(db, "BEGIN IMMEDIATE") != 0) {
            for (size_t i = first; i < last; ++i)
                refused.emplace_back(&items[i], AVQ_ERR_DBOP_FAIL);
            continue;
        }
        for (size_t i = first; i < last; ++i) {
            const Item& item = items[i];
            if (!storeFd) {
                refused.emplace_back(&item, AVQ_ERR_DIR_NOT_FOUND);
                continue;
            }
            Item current;
            int found = FindItem(db, item.renamedName, &current);
            if (found == 0) continue;  // another process took it
            if (found < 0 || DeleteRow(db, item.renamedName) != 0) {
                refused.emplace_back(&item, AVQ_ERR_DBOP_FAIL);
                continue;
            }
            removed.push_back(&item);
        }
        if (Exec(db, "COMMIT") != 0) {
            Rollback(db);
            for (const Item* pItem : removed) refused.emplace_back(pItem, AVQ_ERR_DBOP_FAIL);
            continue;
        }
        // A stored file that is already gone leaves only its row to remove.
        for (const Item* pItem : removed) {
            if (unlinkat(storeFd.Get(), pItem->renamedName.c_str(), 0) == 0 || errno == ENOENT)
                continue;
            int saved = errno;
            if (InsertRow(db, *pItem) != 0)
                TAVO_LOG(LOG_ERR, "quarantined file %s kept without record after: %s",
                         pItem->renamedName.c_str(), strerror(saved));
            refused.emplace_back(pItem, AVQ_ERR_REMOVE_FAIL);
        }
    }
    // In the items' own order, whichever step refused them.
    std::stable_sort(refused.begin(), refused.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    return refused;
}

// Delete-all and restore-all: every item of every volume, one node per refusal.
// A summary event: one per item would flood the log on a large quarantine.
int ForAllItems(bool blRestore, BOOL blAddWhitelist, FAILED_QITEM_LIST** ppFailList) {
    if (!ppFailList) return -1;
    *ppFailList = nullptr;
    FAILED_QITEM_LIST** ppTail = ppFailList;
    std::vector<std::string> volumes;
    if (ListQuarantineVolumes(&volumes) != 0) return -1;
    int result = 0;
    int64_t done = 0;
    int64_t refusedCount = 0;
    for (const std::string& volume : volumes) {
        QUARANTINE_PATH path;
        if (VolumeQuarantinePath(volume.c_str(), &path) != 0) continue;
        if (!Exists(Real(path.szDBPath))) continue;  // nothing stored yet
        QUARANTINE_CONN* pConn = OpenVolume(volume);
        std::vector<Item> items;
        if (!pConn || ReadItems(pConn->dbHandle, &items) != 0) {
            TAVO_LOG(LOG_ERR, "cannot read the quarantine of %s", volume.c_str());
            AVQuarantineClose(&pConn);
            result = -1;
            continue;
        }
        std::vector<std::pair<const Item*, QUARANTINE_ERROR>> refused;
        if (!blRestore) {
            int64_t before = CountItems(pConn->dbHandle);
            refused = DeleteItems(pConn, items);
            int64_t after = CountItems(pConn->dbHandle);
            if (before >= 0 && after >= 0 && before > after) done += before - after;
        } else {
            for (const Item& item : items) {
                ItemOutcome outcome;
                std::string fullPath;
                QUARANTINE_ERROR err = RestoreItem(pConn, item.renamedName, &fullPath, &outcome);
                if (outcome == ItemOutcome::Gone) continue;  // another process took it
                if (err != AVQ_ERR_OK) {
                    refused.emplace_back(&item, err);
                    continue;
                }
                ++done;
                if (blAddWhitelist == TRUE && AVWhiteListAdd(fullPath.c_str()) != 0) {
                    TAVO_LOG(LOG_ERR, "cannot add %s to the white list", fullPath.c_str());
                    result = -1;
                }
            }
        }
        refusedCount += static_cast<int64_t>(refused.size());
        for (const auto& entry : refused) {
            auto* pNode = static_cast<FAILED_QITEM_LIST*>(calloc(1, sizeof(FAILED_QITEM_LIST)));
            if (!pNode) {
                result = -1;
                continue;
            }
            pNode->itemInfo = ToRecord(*entry.first);
            pNode->errorType = entry.second;
            snprintf(pNode->szVolumePath, sizeof pNode->szVolumePath, "%s", volume.c_str());
            *ppTail = pNode;
            ppTail = &pNode->next;
        }
        AVQuarantineClose(&pConn);
    }
    tavo::service::Audit(refusedCount ? "warning" : "info", "quarantine",
                         std::string(blRestore ? "Restore" : "Deletion") +
                             " of every quarantined item by " + tavo::service::Requester() + ": " +
                             std::to_string(done) + (blRestore ? " restored" : " deleted") + ", " +
                             std::to_string(refusedCount) + " refused");
    return result;
}

}  // namespace

extern "C" {

int AVQuarantineAllBaseEnum(PQLIBSZLIST* ppList) {
    if (!ppList || !*ppList) return -1;
    std::vector<std::string> volumes;
    if (ListQuarantineVolumes(&volumes) != 0) return -1;
    for (const std::string& volume : volumes)
        if (QLIBCSzListPush(ppList, volume.c_str()) != 0) return -1;
    return 0;
}

int AVQuarantineGet(const char* szVolume, QUARANTINE_PATH* pPath) {
    if (!pPath) return -1;
    return VolumeQuarantinePath(szVolume, pPath);
}

int AVQuarantineConnect(const QUARANTINE_PATH* pPath, QUARANTINE_CONN** ppConn) {
    if (!pPath || !ppConn) return -1;
    // The paths are derived again from the volume, never taken from the caller.
    QUARANTINE_PATH path;
    if (VolumeQuarantinePath(pPath->szVolumePath, &path) != 0) return -1;
    sqlite3* db = OpenDB(Real(path.szDBPath), false, kItemSchema);
    if (!db) return -1;
    auto* pConn = static_cast<QUARANTINE_CONN*>(calloc(1, sizeof(QUARANTINE_CONN)));
    if (!pConn) {
        sqlite3_close(db);
        return -1;
    }
    pConn->path = path;
    pConn->dbHandle = db;
    *ppConn = pConn;
    return 0;
}

int AVQuarantineClose(QUARANTINE_CONN** ppConn) {
    if (!ppConn || !*ppConn) return 0;
    sqlite3_close((*ppConn)->dbHandle);
    free(*ppConn);
    *ppConn = nullptr;
    return 0;
}

int AVQuarantineDBEntryGet(QUARANTINE_CONN* pConn, const char* szRenamedName, size_t cbName,
                           QUARANTINE_FILE* pFile) {
    if (!pConn || !pConn->dbHandle || !pFile || !IsPlainName(szRenamedName, cbName)) return -1;
    Item item;
    if (FindItem(pConn->dbHandle, std::string(szRenamedName, cbName), &item) != 1) return -1;
    *pFile = ToRecord(item);
    return 0;
}

int AVQuarantineDBReadFrom(const QUARANTINE_PATH* pPath, QUARANTINE_FILE** ppFiles, int* piCount) {
    if (!pPath || !ppFiles || !piCount) return -1;
    *ppFiles = nullptr;
    *piCount = 0;
    QUARANTINE_PATH path;
    if (VolumeQuarantinePath(pPath->szVolumePath, &path) != 0) return -1;
    std::string dbPath = Real(path.szDBPath);
    if (!Exists(dbPath)) return 0;  // a quarantine folder without items yet
    sqlite3* db = OpenDB(dbPath, false, kItemSchema);
    if (!db) return -1;
    std::vector<Item> items;
    int result = ReadItems(db, &items);
    sqlite3_close(db);
    if (result != 0) return -1;
    if (items.empty()) return 0;
    if (items.size() > static_cast<size_t>(INT_MAX)) return -1;
    auto* rgFiles = static_cast<QUARANTINE_FILE*>(malloc(items.size() * sizeof(QUARANTINE_FILE)));
    if (!rgFiles) return -1;
    for (size_t i = 0; i < items.size(); ++i) rgFiles[i] = ToRecord(items[i]);
    *ppFiles = rgFiles;
    *piCount = static_cast<int>(items.size());
    return 0;
}

int AVQuarantineItemCountGet(int* piCount) {
    if (!piCount) return -1;
    std::vector<std::string> volumes;
    if (ListQuarantineVolumes(&volumes) != 0) return -1;
    int64_t total = 0;
    for (const std::string& volume : volumes) {
        QUARANTINE_PATH path;
        if (VolumeQuarantinePath(volume.c_str(), &path) != 0) continue;
        std::string dbPath = Real(path.szDBPath);
        if (!Exists(dbPath)) continue;
        sqlite3* db = OpenDB(dbPath, false, kItemSchema);
        if (!db) continue;
        {
            Statement stmt(db, "SELECT COUNT(*) FROM quarantine");
            if (stmt.Ok() && stmt.Step() == SQLITE_ROW) total += stmt.Int(0);
        }
        sqlite3_close(db);
    }
    *piCount = total > INT_MAX ? INT_MAX : static_cast<int>(total);
    return 0;
}

QUARANTINE_ERROR AVQuarantineDeleteFile(QUARANTINE_CONN* pConn, const char* szRenamedName,
                                        size_t cbName) {
    if (!pConn || !pConn->dbHandle || !IsPlainName(szRenamedName, cbName)) return AVQ_ERR_UNKNOWN;
    ItemOutcome outcome;
    Item item;
    QUARANTINE_ERROR err = DeleteItem(pConn, std::string(szRenamedName, cbName), &outcome, &item);
    if (err == AVQ_ERR_OK)
        tavo::service::Audit("info", "quarantine",
                             "Deleted from the quarantine by " + tavo::service::Requester() + ": " +
                                 pConn->path.szVolumePath + item.originalPath + " (" + item.threat +
                                 ")");
    return err;
}

QUARANTINE_ERROR AVQuarantineRestoreFile(QUARANTINE_CONN* pConn, const char* szRenamedName,
                                         size_t cbName) {
    if (!pConn || !pConn->dbHandle || !IsPlainName(szRenamedName, cbName)) return AVQ_ERR_UNKNOWN;
    ItemOutcome outcome;
    std::string fullPath;
    std::string threat;
    QUARANTINE_ERROR err =
        RestoreItem(pConn, std::string(szRenamedName, cbName), &fullPath, &outcome, &threat);
    if (err == AVQ_ERR_OK)
        tavo::service::Audit("info", "quarantine",
                             "Restored from the quarantine by " + tavo::service::Requester() +
                                 ": " + fullPath + " (" + threat + ")");
    return err;
}

int AVQuarantineDeleteAllFiles(FAILED_QITEM_LIST** ppFailList) {
    return ForAllItems(false, FALSE, ppFailList);
}

int AVQuarantineRestoreAllFiles(BOOL blAddWhitelist, FAILED_QITEM_LIST** ppFailList) {
    return ForAllItems(true, blAddWhitelist, ppFailList);
}

int AVQuarantineFailListFree(FAILED_QITEM_LIST* pList) {
    while (pList) {
        FAILED_QITEM_LIST* pNext = pList->next;
        free(pList);
        pList = pNext;
    }
    return 0;
}

int AVQuarantineGetExtShareNameByMountPath(const char* szVolumePath, char* szShare,
                                           size_t cbShare) {
    QUARANTINE_PATH path;
    if (!szShare || cbShare == 0 || VolumeQuarantinePath(szVolumePath, &path) != 0) return -1;
    // "/volume1" -> "volume1/@tavoav_quarantine"
    int cch = snprintf(szShare, cbShare, "%s/%s", szVolumePath + 1, TAVOAV_QUARANTINE_DIR_NAME);
    if (cch < 0 || static_cast<size_t>(cch) >= cbShare) {
        szShare[0] = '\0';
        return -1;
    }
    return 0;
}

QUARANTINE_ERROR AVQuarantinePutFile(const char* szPath, const char* szThreat) {
    std::string reason;
    QUARANTINE_ERROR err = PutFile(szPath, nullptr, szThreat, &reason);
    // A file that is gone has nothing left to move later.
    if (err != AVQ_ERR_OK && err != AVQ_ERR_SOURCE_MISSING && szPath) {
        if (AddFailed(szPath, szThreat, nullptr, reason) != 0)
            TAVO_LOG(LOG_ERR, "cannot record the failed move of %s", szPath);
    }
    return err;
}

QUARANTINE_ERROR AVQuarantinePutFileAt(int dirFd, const char* szName, const char* szPath,
                                       const struct stat* pFile, const char* szThreat) {
    if (dirFd < 0 || !szName || !szPath || !pFile) return AVQ_ERR_UNKNOWN;
    VolumeFile file;
    std::string reason;
    QUARANTINE_ERROR err = SplitVolumeFile(szPath, &file);
    if (err == AVQ_ERR_OK && file.leaf != szName) err = AVQ_ERR_UNKNOWN;
    if (err != AVQ_ERR_OK)
        reason = err == AVQ_ERR_DIR_NOT_FOUND ? "no such volume" : "not a path on a volume";
    else
        err = PutFileAt(dirFd, file, pFile, szThreat, &reason);
    if (err != AVQ_ERR_OK && err != AVQ_ERR_SOURCE_MISSING) {
        if (AddFailed(szPath, szThreat, pFile, reason) != 0)
            TAVO_LOG(LOG_ERR, "cannot record the failed move of %s", szPath);
    }
    return err;
}

int AVTryProcessAgain(void) {
    // One run of kind "reprocess" in the scan history, whatever happens.
    if (AVEngStateModify(BeginReprocessing, nullptr) != 0) {
        AVHistoryRecordFailed(AVHIST_KIND_REPROCESS, "the engine state cannot be read or written");
        return -1;
    }
    sqlite3* db = OpenFailedDB();
    if (!db) {
        AVEngStateModify(EndReprocessingOnly, nullptr);
        AVHistoryRecordFailed(AVHIST_KIND_REPROCESS, "the list of failed moves cannot be opened");
        return -1;
    }
    struct Failed {
        std::string path;
        std::string threat;
        struct stat file;  // st_dev and st_ino only; both 0 when not known
    };
    std::vector<Failed> failed;
    {
        Statement select(db, "SELECT path, threat, dev, ino FROM failed ORDER BY id");
        while (select.Ok() && select.Step() == SQLITE_ROW) {
            Failed entry{select.Text(0), select.Text(1), {}};
            entry.file.st_dev = static_cast<dev_t>(select.Int(2));
            entry.file.st_ino = static_cast<ino_t>(select.Int(3));
            failed.push_back(std::move(entry));
        }
    }
    const int64_t runId = AVHistoryBegin(AVHIST_KIND_REPROCESS, getpid());
    if (runId > 0) {
        std::vector<const char*> targets;
        for (const Failed& entry : failed) targets.push_back(entry.path.c_str());
        AVHistoryAddTargets(runId, targets.data(), targets.size());
    }
    AVHIST_COUNTERS counters{};
    counters.total = static_cast<int64_t>(failed.size());
    std::string movedText;
    std::string failingText;
    int moved = 0;
    for (const Failed& entry : failed) {
        // A move recorded with its file moves only that very file again.
        const bool blKnown = entry.file.st_dev != 0 || entry.file.st_ino != 0;
        std::string reason;
        QUARANTINE_ERROR err = PutFile(entry.path.c_str(), blKnown ? &entry.file : nullptr,
                                       entry.threat.c_str(), &reason);
        ++counters.scanned;
        ++counters.infected;
        const char* szAction = err == AVQ_ERR_OK               ? AVHIST_QUARANTINED
                               : err == AVQ_ERR_SOURCE_MISSING ? AVHIST_GONE
                                                               : AVHIST_MOVE_FAILED;
        if (runId > 0)
            AVHistoryAddDetection(runId, entry.path.c_str(), entry.threat.c_str(), szAction);
        if (err != AVQ_ERR_OK && err != AVQ_ERR_SOURCE_MISSING) {
            ++counters.failedMoves;
            failingText += (failingText.empty() ? "" : ", ") + entry.path + " (" + reason + ")";
            Statement update(db, "UPDATE failed SET reason = ?1 WHERE path = ?2");
            update.Bind(1, reason).Bind(2, entry.path);
            if (update.Ok()) update.Step();
            continue;
        }
        Statement remove(db, "DELETE FROM failed WHERE path = ?1");
        remove.Bind(1, entry.path);
        if (remove.Ok() && remove.Step() == SQLITE_DONE && err == AVQ_ERR_OK) {
            ++moved;
            ++counters.quarantined;
            movedText += (movedText.empty() ? "" : ", ") + entry.path;
        }
    }
    int result = SyncFailedCount(db, true);
    sqlite3_close(db);
    if (runId > 0)
        AVHistoryEnd(runId, result == 0 ? AVHIST_COMPLETED : AVHIST_FAILED,
                     result == 0 ? "" : "the failed-move count cannot be stored", &counters);
    tavo::service::Audit(counters.failedMoves ? "warning" : "info", "quarantine",
                         "Failed moves re-processed by " + tavo::service::Requester() + ": " +
                             std::to_string(moved) + " moved to quarantine" +
                             (movedText.empty() ? "" : " (" + movedText + ")") + ", " +
                             std::to_string(counters.failedMoves) + " still failing" +
                             (failingText.empty() ? "" : " (" + failingText + ")"));
    if (result != 0) {
        AVEngStateModify(EndReprocessingOnly, nullptr);
        return -1;
    }
    return moved;
}

int AVQuarantineFailClear(void) {
    sqlite3* db = OpenFailedDB();
    if (!db) return -1;
    // The entries go into the event: once cleared, nothing else lists them.
    std::vector<std::string> entries;
    int result = Exec(db, "BEGIN IMMEDIATE");
    if (result == 0) {
        Statement select(db, "SELECT path, threat FROM failed ORDER BY id");
        while (select.Ok() && select.Step() == SQLITE_ROW)
            entries.push_back(select.Text(0) + " (" + select.Text(1) + ")");
    }
    if (result == 0 && (Exec(db, "DELETE FROM failed") != 0 || Exec(db, "COMMIT") != 0)) {
        Rollback(db);
        result = -1;
    }
    if (SyncFailedCount(db, false) != 0) result = -1;
    sqlite3_close(db);
    if (result == 0 && !entries.empty()) {
        std::string text;
        for (const std::string& entry : entries) text += (text.empty() ? "" : ", ") + entry;
        tavo::service::Audit("info", "quarantine",
                             "List of failed moves cleared by " + tavo::service::Requester() +
                                 ": " + std::to_string(entries.size()) + " entries: " + text);
    }
    return result;
}

int AVFailedMoveList(int start, int limit, AVHIST_FAILED_MOVE** prgItems, int* pnItems,
                     int64_t* pTotal) {
    if (!prgItems || !pnItems || !pTotal) return -1;
    *prgItems = nullptr;
    *pnItems = 0;
    *pTotal = 0;
    sqlite3* db = OpenFailedDB();
    if (!db) return -1;
    std::vector<AVHIST_FAILED_MOVE> items;
    bool blOk = Exec(db, "BEGIN") == 0;
    if (blOk) {
        Statement count(db, "SELECT COUNT(*) FROM failed");
        blOk = count.Ok() && count.Step() == SQLITE_ROW;
        if (blOk) *pTotal = count.Int(0);
        Statement select(
            db, "SELECT path, threat, time, reason FROM failed ORDER BY id LIMIT ?1 OFFSET ?2");
        select.BindInt(1, limit < 0 ? 0 : limit).BindInt(2, start < 0 ? 0 : start);
        int rc = SQLITE_DONE;
        while (blOk && (rc = select.Step()) == SQLITE_ROW) {
            AVHIST_FAILED_MOVE item{strdup(select.Text(0).c_str()), strdup(select.Text(1).c_str()),
                                    strdup(select.Text(2).c_str()), strdup(select.Text(3).c_str())};
            items.push_back(item);
            blOk = item.szPath && item.szThreat && item.szTime && item.szReason;
        }
        if (rc != SQLITE_DONE) blOk = false;
        Rollback(db);
    }
    sqlite3_close(db);
    if (blOk && !items.empty()) {
        *prgItems =
            static_cast<AVHIST_FAILED_MOVE*>(malloc(items.size() * sizeof(AVHIST_FAILED_MOVE)));
        blOk = *prgItems != nullptr;
        if (blOk) {
            memcpy(*prgItems, items.data(), items.size() * sizeof(AVHIST_FAILED_MOVE));
            *pnItems = static_cast<int>(items.size());
            return 0;
        }
    }
    for (AVHIST_FAILED_MOVE& item : items) {
        free(item.szPath);
        free(item.szThreat);
        free(item.szTime);
        free(item.szReason);
    }
    if (!blOk) *pTotal = 0;
    return blOk ? 0 : -1;
}

void AVFailedMovesFree(AVHIST_FAILED_MOVE* rgItems, int nItems) {
    if (!rgItems) return;
    for (int i = 0; i < nItems; ++i) {
        free(rgItems[i].szPath);
        free(rgItems[i].szThreat);
        free(rgItems[i].szTime);
        free(rgItems[i].szReason);
    }
    free(rgItems);
}

}  // extern "C"
