#include "scan_pool.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>

namespace tavoscan {

ScanPool::ScanPool(size_t workers, size_t window, std::function<void(ScanItem&)> judge)
    : window_(std::max<size_t>(window, 1)), judge_(std::move(judge)) {
    workers = std::max<size_t>(workers, 1);
    threads_.reserve(workers);
    for (size_t i = 0; i < workers; ++i) threads_.emplace_back([this] { Work(); });
}

ScanPool::~ScanPool() {
    DropPending();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        blEnding_ = true;
    }
    workCv_.notify_all();
    for (std::thread& thread : threads_) thread.join();
}

bool ScanPool::Full() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return slots_.size() >= window_;
}

bool ScanPool::Empty() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return slots_.empty();
}

void ScanPool::Submit(std::unique_ptr<ScanItem> item, bool blJudged) {
    auto slot = std::make_shared<Slot>();
    slot->item = std::move(item);
    slot->blDone = blJudged;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        slots_.push_back(slot);
        if (!blJudged) pending_.push_back(slot);
    }
    if (!blJudged) workCv_.notify_one();
}

std::unique_ptr<ScanItem> ScanPool::TakeReady() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (slots_.empty() || !slots_.front()->blDone) return nullptr;
    std::unique_ptr<ScanItem> item = std::move(slots_.front()->item);
    slots_.pop_front();
    return item;
}

bool ScanPool::WaitReady(int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return doneCv_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                            [this] { return !slots_.empty() && slots_.front()->blDone; });
}

void ScanPool::SetPaused(bool blPaused) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        blPaused_ = blPaused;
    }
    if (!blPaused) workCv_.notify_all();
}

size_t ScanPool::DropPending() {
    std::deque<std::shared_ptr<Slot>> dropped;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        dropped.swap(pending_);
        slots_.erase(std::remove_if(slots_.begin(), slots_.end(),
                                    [&](const std::shared_ptr<Slot>& slot) {
                                        return std::find(dropped.begin(), dropped.end(), slot) !=
                                               dropped.end();
                                    }),
                     slots_.end());
    }
    return dropped.size();  // their descriptors close here, outside the lock
}

void ScanPool::Work() {
    for (;;) {
        std::shared_ptr<Slot> slot;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            workCv_.wait(lock, [this] { return blEnding_ || (!blPaused_ && !pending_.empty()); });
            if (blEnding_) return;
            slot = pending_.front();
            pending_.pop_front();
        }
        // The item is this worker's alone until it is marked done.
        judge_(*slot->item);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            slot->blDone = true;
        }
        doneCv_.notify_all();
    }
}

size_t DefaultWorkerCount() {
    long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    return cpus > 0 ? static_cast<size_t>(cpus) : 1;
}

}  // namespace tavoscan
