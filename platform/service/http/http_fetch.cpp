// Definition files from HTTP URLs through libcurl: libtavoav_http.so, the
// only part of the service that links libcurl. libtavoav loads it for an
// update from HTTP URLs only (see update_internal.h).
#include <curl/curl.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "tavo/files.h"
#include "tavo/tavoav_engine.h"
#include "update_internal.h"

namespace {

using tavo::service::FetchProgress;
using tavo::service::HttpFile;

const curl_off_t CB_MAX_DOWNLOAD = curl_off_t(2) << 30;

struct Download {
    int fd;
    FetchProgress* pProgress;
    int64_t base;  // bytes of the files fetched before this one
    bool blStopped;
};

size_t OnCurlData(char* pData, size_t cbItem, size_t cItems, void* pUser) {
    Download* pDownload = static_cast<Download*>(pUser);
    size_t cb = cbItem * cItems;
    if (tavo::files::WriteAll(pDownload->fd, pData, cb) != 0)
        return 0;  // curl ends with a write error
    pDownload->pProgress->Add(static_cast<int64_t>(cb));
    return cb;
}

int OnCurlProgress(void* pUser, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    Download* pDownload = static_cast<Download*>(pUser);
    if (!pDownload->pProgress->Report(false)) {
        pDownload->blStopped = true;
        return 1;
    }
    return 0;
}

// The options every transfer of an HTTP source uses.
void SetCommonOptions(CURL* pCurl, const TAVOAV_UPDATE_SOURCE& source, char* szError) {
    curl_easy_setopt(pCurl, CURLOPT_ERRORBUFFER, szError);
    curl_easy_setopt(pCurl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(pCurl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(pCurl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(pCurl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(pCurl, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(pCurl, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(pCurl, CURLOPT_CONNECTTIMEOUT,
                     static_cast<long>(std::min<int>(source.timeoutSeconds, 30)));
    // A transfer that stalls for the timeout fails; a slow steady one goes on.
    curl_easy_setopt(pCurl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(pCurl, CURLOPT_LOW_SPEED_TIME, static_cast<long>(source.timeoutSeconds));
    curl_easy_setopt(pCurl, CURLOPT_MAXFILESIZE_LARGE, CB_MAX_DOWNLOAD);
    // "" turns off proxies from the environment: only the configured one is used.
    curl_easy_setopt(pCurl, CURLOPT_PROXY, source.szProxy);
    curl_easy_setopt(pCurl, CURLOPT_USERAGENT, "AntiVirus-Zentrel update");
}

std::string CurlReason(CURLcode code, const char* szError) {
    std::string reason = curl_easy_strerror(code);
    if (szError[0] != '\0') reason += std::string(" (") + szError + ")";
    return reason;
}

std::string FetchHttp(const TAVOAV_UPDATE_SOURCE& source, const std::vector<HttpFile>& files,
                      const std::string& staging, FetchProgress& progress) {
    static std::once_flag once;
    static CURLcode initResult = CURLE_OK;
    std::call_once(once, [] { initResult = curl_global_init(CURL_GLOBAL_DEFAULT); });
    if (initResult != CURLE_OK) return "cannot start libcurl";

    // The sizes first, so that the dashboard shows the share fetched.
    int64_t total = 0;
    for (const HttpFile& file : files) {
        CURL* pCurl = curl_easy_init();
        if (!pCurl) return "cannot start libcurl";
        char szError[CURL_ERROR_SIZE] = {0};
        SetCommonOptions(pCurl, source, szError);
        curl_easy_setopt(pCurl, CURLOPT_URL, file.url.c_str());
        curl_easy_setopt(pCurl, CURLOPT_NOBODY, 1L);
        curl_off_t cb = -1;
        if (curl_easy_perform(pCurl) == CURLE_OK &&
            curl_easy_getinfo(pCurl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &cb) == CURLE_OK && cb > 0)
            total += cb;
        curl_easy_cleanup(pCurl);
    }
    progress.SetTotal(total);
    progress.Report(true);

    for (const HttpFile& file : files) {
        const std::string& name = file.name;
        tavo::files::UniqueFd fd(
            open((staging + "/" + name).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
        if (!fd)
            return name + ": " +
                   (errno == EEXIST ? std::string("named by two URLs") : strerror(errno));
        CURL* pCurl = curl_easy_init();
        if (!pCurl) return "cannot start libcurl";
        char szError[CURL_ERROR_SIZE] = {0};
        Download download{fd.Get(), &progress, progress.Done(), false};
        SetCommonOptions(pCurl, source, szError);
        curl_easy_setopt(pCurl, CURLOPT_URL, file.url.c_str());
        curl_easy_setopt(pCurl, CURLOPT_WRITEFUNCTION, OnCurlData);
        curl_easy_setopt(pCurl, CURLOPT_WRITEDATA, &download);
        curl_easy_setopt(pCurl, CURLOPT_XFERINFOFUNCTION, OnCurlProgress);
        curl_easy_setopt(pCurl, CURLOPT_XFERINFODATA, &download);
        curl_easy_setopt(pCurl, CURLOPT_NOPROGRESS, 0L);
        CURLcode code = curl_easy_perform(pCurl);
        curl_easy_cleanup(pCurl);
        if (download.blStopped) return "stopped";
        if (code != CURLE_OK) return name + ": " + CurlReason(code, szError);
        if (fsync(fd.Get()) != 0 || close(fd.Release()) != 0)
            return name + ": cannot write: " + strerror(errno);
    }
    progress.SetTotal(std::max(total, progress.Done()));
    return std::string();
}

}  // namespace

void TavoavHttpFetch(const TAVOAV_UPDATE_SOURCE& source, const std::vector<HttpFile>& files,
                     const std::string& staging, FetchProgress& progress, std::string* pReason) {
    *pReason = FetchHttp(source, files, staging, progress);
}
