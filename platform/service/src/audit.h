// What the service's own operations share about who asked for them: the
// requester, the audit events written where a change happens, and the note
// of who stopped the running scan.
#pragma once

#include <time.h>

#include <string>

namespace tavo::service {

// Who asked for what this process does, read from the environment a request
// runs in (the CGI, or a child of it): "user NAME" when HTTP authentication
// was used, else "address ADDR"; "schedule" for a run started by cron (or
// with TAVOAV_STARTED_BY=schedule); else "local" (the command line).
std::string Requester();

// Writes one report event; text is made one line first (control bytes as
// visible escapes), so a file name cannot forge another event. A failure is
// logged and does not fail the change it tells of.
void Audit(const char* szClass, const char* szModule, const std::string& text);

// Text for an event: "value" with control bytes escaped.
std::string OneLine(const std::string& text);

// The local time as "YYYY-MM-DD HH:MM:SS" (now when when is 0), the form
// of every time the service stores.
std::string LocalTimeText(time_t when = 0);

// Notes who asked the running scan to stop, so its run ends as stopped by them.
void HistoryNoteStop(const std::string& stoppedBy);

}  // namespace tavo::service
