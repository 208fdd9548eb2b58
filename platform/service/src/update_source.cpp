// Where definition updates come from and how often they run: the key-value
// file TAVOAV_UPDATE_CONF_FILE (see tavoav_engine.h), and the automatic
// update's line in the package's crontab block.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <utility>
#include <vector>

#include "audit.h"
#include "tavo/tavocore.h"
#include "update_internal.h"

namespace {

const char* const SZ_DEFAULT_MIRROR = "database.clamav.net";
const int I_DEFAULT_TIMEOUT_S = 120;
// The minute of the hour the automatic update runs at: off the full hour,
// when scheduled scans usually start.
const int I_CRON_MINUTE = 7;

bool ValidInterval(int hours) {
    // Divisors of 24 only: "*/N" in the hour field is then really every N hours.
    return hours == 0 || (hours > 0 && hours <= 24 && 24 % hours == 0);
}

bool OnlyChars(const char* sz, const char* szAllowed) {
    for (const char* p = sz; *p; ++p)
        if (!strchr(szAllowed, *p)) return false;
    return true;
}

const char* const SZ_HOST_CHARS =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-:[]";
// The characters an URL may hold here: no blank, quote, backslash or control
// character reaches a configuration file or a command.
const char* const SZ_URL_CHARS =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-_~:/?&=%+,;[]";

// host[:port] (a name, an IPv4 address or a bracketed IPv6 one).
bool ValidHost(const char* sz) {
    return sz[0] != '\0' && sz[0] != '-' && strlen(sz) < 256 && OnlyChars(sz, SZ_HOST_CHARS);
}

bool ValidProxy(const char* sz) {
    if (sz[0] == '\0') return true;
    if (strncmp(sz, "http://", 7) != 0) return false;
    const char* szHost = sz + 7;
    std::string host(szHost);
    if (!host.empty() && host.back() == '/') host.pop_back();
    return ValidHost(host.c_str());
}

bool ReadKey(const char* szKey, char* szValue, size_t cbValue) {
    return QLIBCFileGetKeyValue(TAVOAV_UPDATE_CONF_FILE, szKey, szValue, cbValue) == 0;
}

int ReadInt(const char* szKey, int iDefault) {
    char szValue[32];
    if (!ReadKey(szKey, szValue, sizeof(szValue)) || szValue[0] == '\0') return iDefault;
    char* pEnd = nullptr;
    long value = strtol(szValue, &pEnd, 10);
    if (*pEnd != '\0' || value < 0 || value > 100000) return iDefault;
    return static_cast<int>(value);
}

bool ValidSource(const TAVOAV_UPDATE_SOURCE& s) {
    if (strcmp(s.szSource, AVUPD_SOURCE_FOLDER) != 0 &&
        strcmp(s.szSource, AVUPD_SOURCE_HTTP) != 0 &&
        strcmp(s.szSource, AVUPD_SOURCE_FRESHCLAM) != 0)
        return false;
    if (s.szMirrorDir[0] != '/' || strstr(s.szMirrorDir, "/../") ||
        strlen(s.szMirrorDir) >= sizeof(s.szMirrorDir) ||
        !OnlyChars(s.szMirrorDir,
                   "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789./_-@"))
        return false;
    if (strnlen(s.szUrls, sizeof(s.szUrls)) >= sizeof(s.szUrls)) return false;
    for (const std::string& url : tavo::service::SplitUrls(s.szUrls))
        if (tavo::service::UrlFileName(url).empty()) return false;
    if (s.szDatabaseMirror[0] != '\0' && !ValidHost(s.szDatabaseMirror)) return false;
    if (s.szPrivateMirror[0] != '\0' && !ValidHost(s.szPrivateMirror)) return false;
    if (!ValidProxy(s.szProxy)) return false;
    if (s.blOfficialDatabases != 0 && s.blOfficialDatabases != 1) return false;
    if (!ValidInterval(s.intervalHours)) return false;
    if (s.timeoutSeconds < 5 || s.timeoutSeconds > 3600) return false;
    // An HTTP source needs something to fetch.
    if (strcmp(s.szSource, AVUPD_SOURCE_HTTP) == 0 && tavo::service::SplitUrls(s.szUrls).empty())
        return false;
    return true;
}

std::string Interval(int hours) {
    return hours == 0   ? "off"
           : hours == 1 ? "every hour"
                        : "every " + std::to_string(hours) + " hours";
}

// "label from A to B" for every value that differs, joined by "; ".
std::string SourceChanges(const TAVOAV_UPDATE_SOURCE& before, const TAVOAV_UPDATE_SOURCE& after) {
    auto text = [](const char* sz) {
        return sz[0] != '\0' ? std::string(sz) : std::string("(none)");
    };
    const std::pair<const char*, std::pair<std::string, std::string>> rgValues[] = {
        {"source", {before.szSource, after.szSource}},
        {"mirror folder", {text(before.szMirrorDir), text(after.szMirrorDir)}},
        {"URLs", {text(before.szUrls), text(after.szUrls)}},
        {"database mirror", {text(before.szDatabaseMirror), text(after.szDatabaseMirror)}},
        {"private mirror", {text(before.szPrivateMirror), text(after.szPrivateMirror)}},
        {"official databases",
         {before.blOfficialDatabases ? "on" : "off", after.blOfficialDatabases ? "on" : "off"}},
        {"proxy", {text(before.szProxy), text(after.szProxy)}},
        {"update interval", {Interval(before.intervalHours), Interval(after.intervalHours)}},
        {"timeout",
         {std::to_string(before.timeoutSeconds) + " s",
          std::to_string(after.timeoutSeconds) + " s"}},
    };
    std::string changes;
    for (const auto& value : rgValues) {
        if (value.second.first == value.second.second) continue;
        if (!changes.empty()) changes += "; ";
        changes +=
            std::string(value.first) + " from " + value.second.first + " to " + value.second.second;
    }
    return changes;
}

}  // namespace

namespace tavo::service {

std::vector<std::string> SplitUrls(const char* szUrls) {
    std::vector<std::string> urls;
    std::string current;
    for (const char* p = szUrls;; ++p) {
        if (*p == ' ' || *p == '\0') {
            if (!current.empty()) urls.push_back(current);
            current.clear();
            if (*p == '\0') break;
        } else {
            current += *p;
        }
    }
    return urls;
}

bool IsDatabaseFileName(const std::string& name) {
    static const char* const rgExtensions[] = {
        "cvd",  "cld", "cud",  "hdb", "hsb", "hdu",  "hsu", "mdb", "msb",  "mdu",
        "msu",  "ndb", "ndu",  "ldb", "ldu", "sdb",  "zmd", "rmd", "idb",  "fp",
        "sfp",  "gdb", "pdb",  "wdb", "cdb", "crb",  "cfg", "ign", "ign2", "ftm",
        "info", "imp", "pwdb", "cat", "yar", "yara", "cbc"};
    if (name.empty() || name[0] == '.' || name.size() > 200 ||
        !OnlyChars(name.c_str(),
                   "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._-"))
        return false;
    size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) return false;
    const std::string extension = name.substr(dot + 1);
    for (const char* szExtension : rgExtensions)
        if (extension == szExtension) return true;
    return false;
}

std::string UrlFileName(const std::string& url) {
    size_t start;
    if (url.compare(0, 7, "http://") == 0) {
        start = 7;
    } else if (url.compare(0, 8, "https://") == 0) {
        start = 8;
    } else {
        return std::string();
    }
    if (url.size() > 1024 || !OnlyChars(url.c_str(), SZ_URL_CHARS)) return std::string();
    size_t slash = url.find('/', start);
    if (slash == std::string::npos) return std::string();
    const std::string authority = url.substr(start, slash - start);
    if (authority.find('@') != std::string::npos || !ValidHost(authority.c_str()))
        return std::string();
    std::string path = url.substr(slash);
    size_t query = path.find('?');
    if (query != std::string::npos) path.resize(query);
    const std::string name = path.substr(path.rfind('/') + 1);
    return IsDatabaseFileName(name) ? name : std::string();
}

std::string CronLine() {
    TAVOAV_UPDATE_SOURCE source;
    if (AVUpdateSourceGet(&source) != OKAY || source.intervalHours == 0) return std::string();
    char szHour[16];
    if (source.intervalHours == 24) {
        snprintf(szHour, sizeof(szHour), "0");
    } else if (source.intervalHours == 1) {
        snprintf(szHour, sizeof(szHour), "*");
    } else {
        snprintf(szHour, sizeof(szHour), "*/%d", static_cast<int>(source.intervalHours));
    }
    char szLine[256];
    snprintf(szLine, sizeof(szLine), "%d %s * * * root " TAVOAV_SCANNER_PATH " --update",
             I_CRON_MINUTE, szHour);
    return szLine;
}

std::string FreshclamConfig(const TAVOAV_UPDATE_SOURCE& source, const std::string& dir) {
    std::string conf;
    conf += "# Written by the AntiVirus-Zentrel update for one run; not the system's freshclam.\n";
    conf += "DatabaseDirectory " + dir + "\n";
    conf += "DatabaseOwner root\n";
    conf += "Foreground yes\n";
    conf += "LogTime no\n";
    conf += "LogSyslog no\n";
    conf += "NotifyClamd no\n";
    conf += "Checks 0\n";
    conf += "TestDatabases yes\n";
    conf += "ConnectTimeout 30\n";
    conf += "ReceiveTimeout " + std::to_string(source.timeoutSeconds) + "\n";
    conf += "MaxAttempts 2\n";
    if (source.szPrivateMirror[0] != '\0') {
        conf += std::string("PrivateMirror ") + source.szPrivateMirror + "\n";
    } else {
        conf += std::string("DatabaseMirror ") +
                (source.szDatabaseMirror[0] != '\0' ? source.szDatabaseMirror : SZ_DEFAULT_MIRROR) +
                "\n";
    }
    if (!source.blOfficialDatabases) {
        // Only the custom databases: no DNS query, no official files.
        conf += "DNSDatabaseInfo no\n";
        conf += "ScriptedUpdates no\n";
        conf += "ExcludeDatabase main\nExcludeDatabase daily\nExcludeDatabase bytecode\n";
    }
    for (const std::string& url : SplitUrls(source.szUrls))
        conf += "DatabaseCustomURL " + url + "\n";
    if (source.szProxy[0] != '\0') {
        // "http://host:port": freshclam takes the host and the port apart.
        std::string hostPort = source.szProxy + 7;
        if (!hostPort.empty() && hostPort.back() == '/') hostPort.pop_back();
        size_t colon = hostPort.rfind(':');
        if (colon != std::string::npos && hostPort.find(']', colon) == std::string::npos) {
            conf += "HTTPProxyServer " + hostPort.substr(0, colon) + "\n";
            conf += "HTTPProxyPort " + hostPort.substr(colon + 1) + "\n";
        } else {
            conf += "HTTPProxyServer " + hostPort + "\n";
        }
    }
    return conf;
}

}  // namespace tavo::service

extern "C" {

int AVUpdateSourceGet(TAVOAV_UPDATE_SOURCE* pSource) {
    if (!pSource) return ERR_TAVOAV_PARAMETER_ERROR;
    memset(pSource, 0, sizeof(*pSource));
    if (!ReadKey("source", pSource->szSource, sizeof(pSource->szSource)) ||
        pSource->szSource[0] == '\0')
        snprintf(pSource->szSource, sizeof(pSource->szSource), "%s", AVUPD_SOURCE_FOLDER);
    if (!ReadKey("mirrorDir", pSource->szMirrorDir, sizeof(pSource->szMirrorDir)) ||
        pSource->szMirrorDir[0] == '\0')
        snprintf(pSource->szMirrorDir, sizeof(pSource->szMirrorDir), "%s", TAVOAV_MIRROR_DIR);
    ReadKey("urls", pSource->szUrls, sizeof(pSource->szUrls));
    ReadKey("databaseMirror", pSource->szDatabaseMirror, sizeof(pSource->szDatabaseMirror));
    ReadKey("privateMirror", pSource->szPrivateMirror, sizeof(pSource->szPrivateMirror));
    ReadKey("proxy", pSource->szProxy, sizeof(pSource->szProxy));
    pSource->blOfficialDatabases = ReadInt("officialDatabases", 1) == 0 ? 0 : 1;
    pSource->intervalHours = ReadInt("intervalHours", 0);
    if (!ValidInterval(pSource->intervalHours)) pSource->intervalHours = 0;
    pSource->timeoutSeconds = ReadInt("timeoutSeconds", I_DEFAULT_TIMEOUT_S);
    if (pSource->timeoutSeconds < 5 || pSource->timeoutSeconds > 3600)
        pSource->timeoutSeconds = I_DEFAULT_TIMEOUT_S;
    // A file changed by hand is held to the same rules as AVUpdateSourceSet.
    if (!ValidSource(*pSource)) return ERR_TAVOAV_CONFIG_FILE_READ_ERROR;
    return OKAY;
}

int AVUpdateSourceSet(const TAVOAV_UPDATE_SOURCE* pSource) {
    if (!pSource) return ERR_TAVOAV_PARAMETER_ERROR;
    TAVOAV_UPDATE_SOURCE s = *pSource;
    // Unterminated text is refused rather than cut.
    if (strnlen(s.szSource, sizeof(s.szSource)) == sizeof(s.szSource) ||
        strnlen(s.szMirrorDir, sizeof(s.szMirrorDir)) == sizeof(s.szMirrorDir) ||
        strnlen(s.szUrls, sizeof(s.szUrls)) == sizeof(s.szUrls) ||
        strnlen(s.szDatabaseMirror, sizeof(s.szDatabaseMirror)) == sizeof(s.szDatabaseMirror) ||
        strnlen(s.szPrivateMirror, sizeof(s.szPrivateMirror)) == sizeof(s.szPrivateMirror) ||
        strnlen(s.szProxy, sizeof(s.szProxy)) == sizeof(s.szProxy) || !ValidSource(s))
        return ERR_TAVOAV_PARAMETER_ERROR;
    // What was stored before, for the audit event (the factory values when
    // nothing, or nothing readable, was).
    TAVOAV_UPDATE_SOURCE before;
    AVUpdateSourceGet(&before);
    const std::pair<const char*, std::string> rgValues[] = {
        {"source", s.szSource},
        {"mirrorDir", s.szMirrorDir},
        {"urls", s.szUrls},
        {"databaseMirror", s.szDatabaseMirror},
        {"privateMirror", s.szPrivateMirror},
        {"proxy", s.szProxy},
        {"officialDatabases", std::to_string(s.blOfficialDatabases)},
        {"intervalHours", std::to_string(s.intervalHours)},
        {"timeoutSeconds", std::to_string(s.timeoutSeconds)},
    };
    for (const auto& value : rgValues) {
        if (QLIBCFileSetKeyValue(TAVOAV_UPDATE_CONF_FILE, value.first, value.second.c_str(),
                                 nullptr) != 0)
            return ERR_TAVOAV_CONFIG_FILE_WRITE_ERROR;
    }
    const std::string changes = SourceChanges(before, s);
    if (!changes.empty())
        tavo::service::Audit(
            "info", "config",
            "Update source changed by " + tavo::service::Requester() + ": " + changes);
    return tavo::service::DumpCrontab();
}

}  // extern "C"
