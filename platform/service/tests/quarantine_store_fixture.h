// The fixture of the quarantine store tests: a temporary root with helpers
// that list, restore and delete items and read the engine's counters.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "tavo/tavoav_engine.h"
#include "temp_root.h"

class QuarantineStoreTest : public TempRootTest {
protected:
    // A file on a volume, made with its folders.
    void MakeFile(const std::string& path, const std::string& content = "X5O!P%@AP") {
        WriteFile(Real(path), content);
    }
    void MakeVolume(int n) {
        std::filesystem::create_directories(Real("/volume" + std::to_string(n)));
    }
    std::string QDir(const std::string& volume) const {
        return Real(volume + "/" + TAVOAV_QUARANTINE_DIR_NAME);
    }

    std::vector<QUARANTINE_FILE> Items(const std::string& volume) {
        QUARANTINE_PATH path;
        EXPECT_EQ(AVQuarantineGet(volume.c_str(), &path), 0);
        QUARANTINE_FILE* rgFiles = nullptr;
        int count = -1;
        EXPECT_EQ(AVQuarantineDBReadFrom(&path, &rgFiles, &count), 0);
        std::vector<QUARANTINE_FILE> items(rgFiles, rgFiles + (count > 0 ? count : 0));
        free(rgFiles);
        return items;
    }
    std::string StoredName(const std::string& volume, size_t index = 0) {
        auto items = Items(volume);
        return index < items.size() ? items[index].szRenamedName : "";
    }

    std::vector<std::string> Volumes() {
        PQLIBSZLIST list = QLIBCSzListAlloc(2);
        EXPECT_EQ(AVQuarantineAllBaseEnum(&list), 0);
        std::vector<std::string> out;
        for (int i = 0; i < list->nItem; ++i) out.push_back(QLIBCSzListGet(list, i));
        QLIBCSzListFree(list);
        return out;
    }

    QUARANTINE_CONN* Connect(const std::string& volume) {
        QUARANTINE_PATH path;
        QUARANTINE_CONN* conn = nullptr;
        EXPECT_EQ(AVQuarantineGet(volume.c_str(), &path), 0);
        EXPECT_EQ(AVQuarantineConnect(&path, &conn), 0);
        return conn;
    }
    QUARANTINE_ERROR Delete(const std::string& volume, const std::string& name) {
        QUARANTINE_CONN* conn = Connect(volume);
        QUARANTINE_ERROR err = AVQuarantineDeleteFile(conn, name.c_str(), name.size());
        AVQuarantineClose(&conn);
        EXPECT_EQ(conn, nullptr);
        return err;
    }
    QUARANTINE_ERROR Restore(const std::string& volume, const std::string& name) {
        QUARANTINE_CONN* conn = Connect(volume);
        QUARANTINE_ERROR err = AVQuarantineRestoreFile(conn, name.c_str(), name.size());
        AVQuarantineClose(&conn);
        return err;
    }

    static TAVOAV_STAT Stat() {
        TAVOAV_STAT stat;
        EXPECT_EQ(AVGetEngStat(&stat), 0);
        return stat;
    }
    static int Count() {
        int count = -1;
        EXPECT_EQ(AVQuarantineItemCountGet(&count), 0);
        return count;
    }
    static std::vector<std::string> WhiteList() {
        PQLIBSZLIST list = QLIBCSzListAlloc(4);
        EXPECT_EQ(AVWhiteListGet(&list), 0);
        std::vector<std::string> out;
        for (int i = 0; i < list->nItem; ++i) out.push_back(QLIBCSzListGet(list, i));
        QLIBCSzListFree(list);
        return out;
    }
    static std::vector<std::pair<std::string, QUARANTINE_ERROR>> Nodes(FAILED_QITEM_LIST* list) {
        std::vector<std::pair<std::string, QUARANTINE_ERROR>> out;
        for (; list; list = list->next)
            out.emplace_back(std::string(list->szVolumePath) + list->itemInfo.szOriginalPath,
                             list->errorType);
        return out;
    }
};
