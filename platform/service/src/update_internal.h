// What the update, its configuration and the schedule share inside the service.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "tavo/tavoav_engine.h"

namespace tavo::service {

#define TAVOAV_HIDDEN __attribute__((visibility("hidden")))

// The crontab line of the automatic update for the stored interval, "" when
// automatic updates are off (or the configuration cannot be read).
TAVOAV_HIDDEN std::string CronLine();

// Rewrites the package's crontab block from the schedule and the update
// interval. OKAY or an ERR_TAVOAV_* code.
TAVOAV_HIDDEN int DumpCrontab();

// The URLs of the "urls" value, split at blanks.
TAVOAV_HIDDEN std::vector<std::string> SplitUrls(const char* szUrls);
// The database file name an URL names (its last path part), "" when the
// URL is not one an update fetches: http or https, no user part, no
// characters beyond the URL set, a ClamAV database name at the end.
// (Visible, like FreshclamConfig, for the service's tests.)
std::string UrlFileName(const std::string& url);
// Whether a name is one of ClamAV's database file names (letters, digits,
// '.', '_', '-', not hidden, a database extension).
TAVOAV_HIDDEN bool IsDatabaseFileName(const std::string& name);

// A freshclam configuration for the source, downloading into dir (a real
// path). Every value in it has been checked by AVUpdateSourceSet's rules.
std::string FreshclamConfig(const TAVOAV_UPDATE_SOURCE& source, const std::string& dir);

// --- the HTTP fetcher -------------------------------------------------------
// libcurl, with the TLS, Kerberos and LDAP libraries it pulls in, lives in a
// module of its own (libtavoav_http.so) that update.cpp loads from the folder
// of libtavoav.so on the first update from HTTP URLs: a process that fetches
// nothing (the web API host, which forks one process per request) does not
// map it. Both are built together, so the interface between them is C++.

// The download sizes an update shows, and its stop request.
class FetchProgress {
public:
    virtual void SetTotal(int64_t total) = 0;
    virtual void Add(int64_t cb) = 0;
    virtual int64_t Done() const = 0;
    // Stores the progress (always when blForce); false when a stop was requested.
    virtual bool Report(bool blForce) = 0;

protected:
    ~FetchProgress() = default;
};

// One file of an HTTP source: its URL and the name it is stored under (a
// database file name, UrlFileName's).
struct HttpFile {
    std::string url;
    std::string name;
};

}  // namespace tavo::service

// The fetcher module's one entry (libtavoav looks it up by this name and
// never links it): fetches every file into the staging folder (a real path)
// with the source's timeout and proxy, reporting to progress. *pReason is ""
// on success, "stopped" when a stop was requested, else why it failed.
extern "C" __attribute__((visibility("default"))) void TavoavHttpFetch(
    const TAVOAV_UPDATE_SOURCE& source, const std::vector<tavo::service::HttpFile>& files,
    const std::string& staging, tavo::service::FetchProgress& progress, std::string* pReason);
