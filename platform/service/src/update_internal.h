// What the update, its configuration and the schedule share inside the service.
#pragma once

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

}  // namespace tavo::service
