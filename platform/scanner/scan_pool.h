// Worker threads that judge files the walk has opened. One thread (the
// scan's own) submits items in walk order and takes the results back in the
// same order, so everything that acts on a result (quarantine, events,
// progress, the cache) stays on that one thread and sees the files in the
// order a sequential scan would.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/stat.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "clam_engine.h"
#include "tavo/files.h"

namespace tavoscan {

// A folder the walk opened, kept open while a file of it waits for its
// result: a detected file is moved from this very folder, never by path.
struct FolderHandle {
    tavo::files::UniqueFd fd;
    dev_t dev = 0;
    ino_t ino = 0;
};

struct ScanItem {
    tavo::files::UniqueFd fd;  // the open file; closed once judged
    std::shared_ptr<FolderHandle> folder;
    std::string name;          // its entry in folder
    std::string path;          // its appliance path
    struct stat st {};         // fstat of fd before the scan
    bool blCacheable = false;  // its clean verdict may be remembered
    bool blFromCache = false;  // known clean: not given to a worker
    bool blUnchanged = false;  // set by the worker: still as st after the verdict
    ScanResult result;
};

class ScanPool {
public:
    // judge runs on the workers, one item at a time per worker. window bounds
    // the items submitted and not yet taken back (each may hold descriptors).
    ScanPool(size_t workers, size_t window, std::function<void(ScanItem&)> judge);
    ~ScanPool();  // drops what has not started, waits for the rest
    ScanPool(const ScanPool&) = delete;
    ScanPool& operator=(const ScanPool&) = delete;

    bool Full() const;
    bool Empty() const;
    // Adds an item after every other. blJudged: its result is already set
    // (a cache hit, a file that could not be opened): no worker sees it.
    void Submit(std::unique_ptr<ScanItem> item, bool blJudged);
    // The oldest item when its result is there, else null.
    std::unique_ptr<ScanItem> TakeReady();
    // Waits until the oldest item has its result, at most timeoutMs. True when it has.
    bool WaitReady(int timeoutMs);
    // While paused no worker starts another item; the ones started finish.
    void SetPaused(bool blPaused);
    // Forgets the items no worker has started (their descriptors are closed).
    // Answers how many.
    size_t DropPending();

private:
    struct Slot {
        std::unique_ptr<ScanItem> item;
        bool blDone = false;
    };
    void Work();

    const size_t window_;
    std::function<void(ScanItem&)> judge_;
    mutable std::mutex mutex_;
    std::condition_variable workCv_;           // workers: an item to start, pause over, or the end
    std::condition_variable doneCv_;           // the scan thread: a result is in
    std::deque<std::shared_ptr<Slot>> slots_;  // every item not taken back, oldest first
    std::deque<std::shared_ptr<Slot>> pending_;  // the ones no worker has started
    bool blPaused_ = false;
    bool blEnding_ = false;
    std::vector<std::thread> threads_;
};

// The number of workers when the settings name none: the online CPUs.
size_t DefaultWorkerCount();

}  // namespace tavoscan
