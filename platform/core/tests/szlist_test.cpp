#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tavo/tavocore.h"

namespace {

// Every string pointer must lie in the storage block and the bookkeeping
// fields must agree with what was pushed.
void ExpectConsistent(PQLIBSZLIST pList, const std::vector<std::string>& expected) {
    ASSERT_EQ(pList->nItem, static_cast<int>(expected.size()));
    ASSERT_LE(pList->nItem, pList->nSize);
    EXPECT_EQ(pList->pchEnd - pList->pchEndOfFree, pList->nFree);
    for (size_t i = 0; i < expected.size(); ++i) {
        const char* sz = QLIBCSzListGet(pList, static_cast<int>(i));
        ASSERT_NE(sz, nullptr) << i;
        EXPECT_EQ(expected[i], sz) << i;
        EXPECT_LT(sz, pList->pchEndOfFree) << i;
    }
}

TEST(SzList, GrowsPastItsCapacityWithManyAndLongStrings) {
    PQLIBSZLIST pList = QLIBCSzListAlloc(4);
    ASSERT_NE(pList, nullptr);
    EXPECT_EQ(pList->nItem, 0);
    EXPECT_EQ(pList->fMode, OP_UNSORTED);

    std::vector<std::string> expected;
    for (int i = 0; i < 3000; ++i) {
        std::string s = "/volume1/share/" + std::to_string(i);
        if (i % 100 == 7) s += std::string(20000 + i, 'x');  // longer than any storage so far
        if (i % 500 == 0) s.clear();
        ASSERT_EQ(QLIBCSzListPush(&pList, s.c_str()), 0);
        expected.push_back(s);
    }
    ExpectConsistent(pList, expected);
    QLIBCSzListFree(pList);
}

TEST(SzList, PushMayReplaceTheHandleAndKeepsTheStrings) {
    PQLIBSZLIST pList = QLIBCSzListAlloc(1);
    ASSERT_NE(pList, nullptr);
    PQLIBSZLIST pFirst = pList;
    std::vector<std::string> expected;
    bool blReplaced = false;
    for (int i = 0; i < 200 && !blReplaced; ++i) {
        expected.push_back("item" + std::to_string(i));
        ASSERT_EQ(QLIBCSzListPush(&pList, expected.back().c_str()), 0);
        blReplaced = pList != pFirst;
    }
    EXPECT_TRUE(blReplaced);
    ExpectConsistent(pList, expected);
    QLIBCSzListFree(pList);
}

TEST(SzList, GetAnswersNullOutsideTheItems) {
    PQLIBSZLIST pList = QLIBCSzListAlloc(1024);
    ASSERT_NE(pList, nullptr);
    EXPECT_EQ(QLIBCSzListGet(pList, 0), nullptr);
    ASSERT_EQ(QLIBCSzListPush(&pList, "a"), 0);
    ASSERT_EQ(QLIBCSzListPush(&pList, "b"), 0);
    EXPECT_STREQ(QLIBCSzListGet(pList, 1), "b");
    EXPECT_EQ(QLIBCSzListGet(pList, -1), nullptr);
    EXPECT_EQ(QLIBCSzListGet(pList, -2147483647 - 1), nullptr);
    EXPECT_EQ(QLIBCSzListGet(pList, 2), nullptr);
    EXPECT_EQ(QLIBCSzListGet(pList, 1023), nullptr);  // within capacity, not an item
    EXPECT_EQ(QLIBCSzListGet(pList, 2147483647), nullptr);
    EXPECT_EQ(QLIBCSzListGet(nullptr, 0), nullptr);
    QLIBCSzListFree(pList);
}

TEST(SzList, RefusesBadArgumentsAndLeavesTheListIntact) {
    EXPECT_EQ(QLIBCSzListAlloc(-1), nullptr);
    PQLIBSZLIST pList = QLIBCSzListAlloc(0);
    ASSERT_NE(pList, nullptr);
    ASSERT_EQ(QLIBCSzListPush(&pList, "kept"), 0);
    PQLIBSZLIST pBefore = pList;
    EXPECT_EQ(QLIBCSzListPush(&pList, nullptr), -1);
    EXPECT_EQ(QLIBCSzListPush(nullptr, "x"), -1);
    PQLIBSZLIST pNull = nullptr;
    EXPECT_EQ(QLIBCSzListPush(&pNull, "x"), -1);
    EXPECT_EQ(pNull, nullptr);
    EXPECT_EQ(pList, pBefore);
    ExpectConsistent(pList, {"kept"});
    QLIBCSzListFree(pList);
    QLIBCSzListFree(nullptr);
}

}  // namespace
