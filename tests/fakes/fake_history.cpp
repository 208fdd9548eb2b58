#include "fake_history.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fake.h"

namespace fake {

HistoryWorld& HW() {
    static HistoryWorld world;
    return world;
}

void ResetHistory() { HW() = HistoryWorld(); }

TAVOAV_UPDATE_SOURCE FactorySource() {
    TAVOAV_UPDATE_SOURCE source;
    memset(&source, 0, sizeof source);
    snprintf(source.szSource, sizeof source.szSource, "%s", AVUPD_SOURCE_FOLDER);
    snprintf(source.szMirrorDir, sizeof source.szMirrorDir, "%s", TAVOAV_MIRROR_DIR);
    source.blOfficialDatabases = 1;
    source.timeoutSeconds = 120;
    return source;
}

}  // namespace fake

namespace {

char* Dup(const std::string& text) { return strdup(text.c_str()); }

void Fill(AVHIST_RUN* pRun, const fake::FakeRun& run) {
    memset(pRun, 0, sizeof *pRun);
    pRun->id = run.id;
    pRun->szKind = Dup(run.kind);
    pRun->nTargets = static_cast<int>(run.targets.size());
    pRun->rgszTargets = static_cast<char**>(calloc(run.targets.size() + 1, sizeof(char*)));
    for (size_t i = 0; i < run.targets.size(); ++i) pRun->rgszTargets[i] = Dup(run.targets[i]);
    pRun->szStartedBy = Dup(run.startedBy);
    pRun->szStartTime = Dup(run.startTime);
    pRun->szEndTime = Dup(run.endTime);
    pRun->szOutcome = Dup(run.outcome);
    pRun->szStoppedBy = Dup(run.stoppedBy);
    pRun->szReason = Dup(run.reason);
    pRun->counters = run.counters;
    pRun->szDefinitionsVersion = Dup(run.definitionsVersion);
}

// A page of a list: [start, start + limit) clipped to the list.
template <typename T>
std::pair<size_t, size_t> Page(const std::vector<T>& items, int start, int limit) {
    size_t first = start < 0 ? 0 : static_cast<size_t>(start);
    if (first > items.size()) first = items.size();
    size_t last = limit < 0 ? first : first + static_cast<size_t>(limit);
    if (last > items.size()) last = items.size();
    return {first, last};
}

}  // namespace

extern "C" {

int AVHistoryList(int start, int limit, AVHIST_RUN** prgRuns, int* pnRuns, int64_t* pTotal) {
    fake::HW().pages.emplace_back(start, limit);
    *prgRuns = nullptr;
    *pnRuns = 0;
    *pTotal = 0;
    int result = fake::Call("AVHistoryList", 0);
    if (result != 0) return result;
    const auto& runs = fake::HW().runs;
    auto [first, last] = Page(runs, start, limit);
    *pTotal = static_cast<int64_t>(runs.size());
    if (last > first) {
        *prgRuns = static_cast<AVHIST_RUN*>(calloc(last - first, sizeof(AVHIST_RUN)));
        for (size_t i = first; i < last; ++i) Fill(&(*prgRuns)[i - first], runs[i]);
        *pnRuns = static_cast<int>(last - first);
        ++fake::HW().liveRuns;
    }
    return 0;
}

int AVHistoryGet(int64_t runId, AVHIST_RUN** ppRun, AVHIST_DETECTION** prgDetections,
                 int* pnDetections) {
    fake::HW().gets.push_back(runId);
    *ppRun = nullptr;
    *prgDetections = nullptr;
    *pnDetections = 0;
    int result = fake::Call("AVHistoryGet", 0);
    if (result != 0) return result;
    for (const fake::FakeRun& run : fake::HW().runs) {
        if (run.id != runId) continue;
        *ppRun = static_cast<AVHIST_RUN*>(calloc(1, sizeof(AVHIST_RUN)));
        Fill(*ppRun, run);
        ++fake::HW().liveRuns;
        if (!run.detections.empty()) {
            *prgDetections = static_cast<AVHIST_DETECTION*>(
                calloc(run.detections.size(), sizeof(AVHIST_DETECTION)));
            for (size_t i = 0; i < run.detections.size(); ++i) {
                (*prgDetections)[i] = {Dup(run.detections[i].path), Dup(run.detections[i].threat),
                                       Dup(run.detections[i].action)};
            }
            *pnDetections = static_cast<int>(run.detections.size());
            ++fake::HW().liveDetections;
        }
        return 0;
    }
    return 1;
}

void AVHistoryRunsFree(AVHIST_RUN* rgRuns, int nRuns) {
    fake::Call("AVHistoryRunsFree", 0);
    if (!rgRuns) return;
    for (int i = 0; i < nRuns; ++i) {
        AVHIST_RUN& run = rgRuns[i];
        for (char* sz : {run.szKind, run.szStartedBy, run.szStartTime, run.szEndTime, run.szOutcome,
                         run.szStoppedBy, run.szReason, run.szDefinitionsVersion})
            free(sz);
        for (int j = 0; j < run.nTargets; ++j) free(run.rgszTargets[j]);
        free(run.rgszTargets);
    }
    free(rgRuns);
    --fake::HW().liveRuns;
}

void AVHistoryDetectionsFree(AVHIST_DETECTION* rgDetections, int nDetections) {
    fake::Call("AVHistoryDetectionsFree", 0);
    if (!rgDetections) return;
    for (int i = 0; i < nDetections; ++i) {
        free(rgDetections[i].szPath);
        free(rgDetections[i].szThreat);
        free(rgDetections[i].szAction);
    }
    free(rgDetections);
    --fake::HW().liveDetections;
}

int AVFailedMoveList(int start, int limit, AVHIST_FAILED_MOVE** prgItems, int* pnItems,
                     int64_t* pTotal) {
    fake::HW().pages.emplace_back(start, limit);
    *prgItems = nullptr;
    *pnItems = 0;
    *pTotal = 0;
    int result = fake::Call("AVFailedMoveList", 0);
    if (result != 0) return result;
    const auto& items = fake::HW().failedMoves;
    auto [first, last] = Page(items, start, limit);
    *pTotal = static_cast<int64_t>(items.size());
    if (last > first) {
        *prgItems =
            static_cast<AVHIST_FAILED_MOVE*>(calloc(last - first, sizeof(AVHIST_FAILED_MOVE)));
        for (size_t i = first; i < last; ++i)
            (*prgItems)[i - first] = {Dup(items[i].path), Dup(items[i].threat), Dup(items[i].time),
                                      Dup(items[i].reason)};
        *pnItems = static_cast<int>(last - first);
        ++fake::HW().liveFailedMoves;
    }
    return 0;
}

void AVFailedMovesFree(AVHIST_FAILED_MOVE* rgItems, int nItems) {
    fake::Call("AVFailedMovesFree", 0);
    if (!rgItems) return;
    for (int i = 0; i < nItems; ++i) {
        free(rgItems[i].szPath);
        free(rgItems[i].szThreat);
        free(rgItems[i].szTime);
        free(rgItems[i].szReason);
    }
    free(rgItems);
    --fake::HW().liveFailedMoves;
}

int AVSetScanArchives(BOOL blScanArchives) {
    int result = fake::Call("AVSetScanArchives", 0);
    if (result == 0) {
        fake::W().config.blScanArchives = blScanArchives;
        fake::HW().sets.push_back("scanArchives=" +
                                  std::to_string(static_cast<int>(blScanArchives)));
    }
    return result;
}

int AVSetMaxFileSizeMB(int iMaxFileSizeMB) {
    int result = fake::Call("AVSetMaxFileSizeMB", 0);
    if (result == 0) {
        fake::W().config.iMaxFileSizeMB = iMaxFileSizeMB;
        fake::HW().sets.push_back("maxFileSizeMB=" + std::to_string(iMaxFileSizeMB));
    }
    return result;
}

int AVGetScanWorkers(int* piWorkers) {
    int result = fake::Call("AVGetScanWorkers", 0);
    if (result == 0) *piWorkers = fake::HW().scanWorkers;
    return result;
}

int AVSetScanWorkers(int iWorkers) {
    int result = fake::Call("AVSetScanWorkers", 0);
    if (result == 0) {
        fake::HW().scanWorkers = iWorkers;
        fake::HW().sets.push_back("scanWorkers=" + std::to_string(iWorkers));
    }
    return result;
}

int AVUpdateSourceGet(TAVOAV_UPDATE_SOURCE* pSource) {
    // Filled in even on failure, as the service does.
    *pSource = fake::HW().updateSource;
    return fake::Call("AVUpdateSourceGet", OKAY);
}

int AVUpdateSourceSet(const TAVOAV_UPDATE_SOURCE* pSource) {
    fake::HW().sourceSets.push_back(*pSource);
    int result = fake::Call("AVUpdateSourceSet", OKAY);
    if (result == OKAY) fake::HW().updateSource = *pSource;
    return result;
}

int AVUpdateFactsGet(TAVOAV_UPDATE_FACTS* pFacts) {
    int result = fake::Call("AVUpdateFactsGet", OKAY);
    *pFacts = fake::HW().updateFacts;
    return result;
}

}  // extern "C"
