// Fakes of the service's history interface for the History plug-in's tests:
// a scripted history and failed-move list, the engine settings, and a count
// of the results handed out and not freed.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tavo/tavoav_engine.h"
#include "tavo/tavoav_history.h"

namespace fake {

struct FakeDetection {
    std::string path, threat, action;
};

struct FakeRun {
    int64_t id = 0;
    std::string kind = "full";
    std::vector<std::string> targets;
    std::string startedBy = "local", startTime = "2026-12-01 10:00:00",
                endTime = "2026-12-01 10:05:00";
    std::string outcome = "completed", stoppedBy, reason, definitionsVersion = "27000";
    AVHIST_COUNTERS counters{};
    std::vector<FakeDetection> detections;
};

struct FakeFailedMove {
    std::string path, threat, time = "2026-12-01 10:00:00", reason;
};

// The source of a fresh install: the mirror folder, no automatic update.
TAVOAV_UPDATE_SOURCE FactorySource();

struct HistoryWorld {
    std::vector<FakeRun> runs;  // newest first, as listed
    std::vector<FakeFailedMove> failedMoves;
    int scanWorkers = 0;
    std::vector<std::pair<int, int>> pages;  // (start, limit) of every list call
    std::vector<int64_t> gets;               // ids asked for
    std::vector<std::string> sets;  // "scanArchives=1", "maxFileSizeMB=200", "scanWorkers=4"
    TAVOAV_UPDATE_SOURCE updateSource = FactorySource();  // what AVUpdateSourceGet answers
    std::vector<TAVOAV_UPDATE_SOURCE> sourceSets;         // what AVUpdateSourceSet was given
    TAVOAV_UPDATE_FACTS updateFacts{};
    int liveRuns = 0;  // runs handed out minus freed
    int liveDetections = 0;
    int liveFailedMoves = 0;
};

HistoryWorld& HW();
void ResetHistory();

}  // namespace fake
