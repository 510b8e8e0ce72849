// The cell reader and writer, and the log a rename writes, on a hive built
// cell by cell (built_hive.h).
#include "built_hive.h"
#include "hive_cell_writer.h"
#include "hive_log_writer.h"
#include "hive_replay.h"

#include <algorithm>
#include <cstring>
#include <gtest/gtest.h>
#include <string>

namespace {

TEST(HiveCellsTest, ReaderFindsKeysAndValuesIgnoringCase) {
    Built hive;
    const HiveImage image = hive.Image();
    std::uint32_t key = HiveNoCell;
    ASSERT_EQ(FindHiveSubkey(image, HiveRootKey(image), "KEY", &key), HiveFault::None);
    EXPECT_EQ(key, hive.key);
    HiveValue value;
    ASSERT_EQ(FindHiveValue(image, key, "name", true, &value), HiveFault::None);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(value.data), value.size),
              std::string("A\0B\0C\0\0\0", 8));
    ASSERT_EQ(FindHiveValue(image, key, "SMALL", true, &value), HiveFault::None);
    EXPECT_EQ(value.size, 2u);
    EXPECT_EQ(value.data[0], 'x');
}

// Twenty pointers to one lf list of 65,535 entries: 1.3 million to compare,
// more than any hive holds, refused rather than walked.
TEST(HiveCellsTest, ALookupLongerThanAnyHiveIsRefused) {
    constexpr std::uint32_t Entries = 65535;
    Built hive(130 * HivePageSize);
    const std::uint32_t lf = hive.Cell(SubkeyListField::Elements + SubkeyListField::HintedElement * Entries);
    const std::uint32_t ri = hive.Cell(SubkeyListField::Elements + SubkeyListField::PlainElement * 20);
    hive.RestFree();
    memcpy(hive.Data(lf), "lf\xFF\xFF", 4); // 65,535 entries, each hinted "AAAA"
    for (std::uint32_t i = 0; i < Entries; ++i) {
        memcpy(hive.Data(lf) + SubkeyListField::Elements + SubkeyListField::HintedElement * i +
                   SubkeyListField::Hint,
               "AAAA", 4);
    }
    memcpy(hive.Data(ri), "ri\x14\0", 4); // 20 pointers to it
    for (std::uint32_t i = 0; i < 20; ++i) {
        HivePutLe32(hive.Data(ri) + SubkeyListField::Elements + SubkeyListField::PlainElement * i, lf);
    }
    HivePutLe32(hive.Data(hive.key) + KeyNodeField::SubkeyCount, 20 * Entries);
    HivePutLe32(hive.Data(hive.key) + KeyNodeField::SubkeyList, ri);
    std::uint32_t child = HiveNoCell;
    EXPECT_EQ(FindHiveSubkey(hive.Image(), hive.key, "ZZZZ", &child), HiveFault::SubkeyListsTooLong);
}

// Where each write lands: the data's cell, the record's fields, the key's
// largest data size, and the pages listed for the log.
TEST(HiveCellsTest, WriterPlacesDataAsWindowsLaysItOut) {
    struct Row {
        const char* what;
        const char* value;
        std::uint32_t size;
        bool newBin;   // the data went to a cell of a bin added at the end
        bool inRecord; // the data went into the record itself
    } rows[] = {
        {"fits its own cell, shared with none", "Small", 2, false, true},
        {"fits its cell, but Twin shares it", "Name", 6, true, false},
        {"outgrows its cell", "Small", 20, true, false},
    };
    for (const Row& row : rows) {
        Built hive;
        HiveImage image = hive.Image();
        HiveValue value;
        ASSERT_EQ(FindHiveValue(image, hive.key, row.value, true, &value), HiveFault::None) << row.what;
        const unsigned char data[24] = {'n', 0, 'e', 0, 'w', 0};
        ASSERT_EQ(SetHiveValue(&image, hive.key, value, 1, data, row.size), HiveFault::None) << row.what;
        const unsigned char* record = hive.Data(value.record);
        const std::uint32_t size = HiveLe32(record + ValueRecordField::DataSize);
        EXPECT_EQ(size, row.size | (row.inRecord ? ValueRecordField::DataInRecord : 0)) << row.what;
        EXPECT_EQ(HiveLe32(hive.bytes.data() + BaseBlockField::BinsDataSize), row.newBin ? 2 * Bins : Bins)
            << row.what;
        if (row.newBin) {
            EXPECT_EQ(HiveLe32(record + ValueRecordField::Data), Bins + BinField::HeaderSize) << row.what;
            EXPECT_EQ(memcmp(hive.Data(Bins + BinField::HeaderSize), data, row.size), 0) << row.what;
            EXPECT_EQ(image.changedPages, (std::vector<std::uint32_t>{Bins, 0})) << row.what; // logged
        }
        EXPECT_EQ(HiveLe32(hive.Data(hive.key) + KeyNodeField::LargestValueData), std::max(8u, row.size))
            << row.what;
        // The shared cell is never written over.
        EXPECT_EQ(memcmp(hive.Data(hive.nameCell), "A\0B\0", 4), 0) << row.what;
    }
    // The cell a value leaves is freed once no value beside it shares it.
    Built hive;
    HiveImage image = hive.Image();
    for (const std::string name : {"Name", "Twin"}) {
        HiveValue value;
        const unsigned char data[20] = {};
        ASSERT_EQ(FindHiveValue(image, hive.key, name.c_str(), true, &value), HiveFault::None);
        ASSERT_EQ(SetHiveValue(&image, hive.key, value, 1, data, sizeof data), HiveFault::None);
        EXPECT_EQ(static_cast<std::int32_t>(HiveLe32(hive.At(hive.nameCell))) > 0, name == "Twin") << name;
    }
}

// The log a rename writes replays, as Windows would, to the renamed image.
TEST(HiveCellsTest, TheLogWrittenReplaysToTheRename) {
    Built hive;
    const Bytes before = hive.bytes;
    HiveImage image = hive.Image();
    HiveValue value;
    ASSERT_EQ(FindHiveValue(image, hive.key, "Small", true, &value), HiveFault::None);
    const unsigned char data[20] = {'r', 0, 'e', 0};
    ASSERT_EQ(SetHiveValue(&image, hive.key, value, 1, data, sizeof data), HiveFault::None);
    std::vector<HiveLogPage> pages;
    for (std::uint32_t page : image.changedPages) {
        pages.push_back({page, hive.At(page)});
    }
    const Bytes log = BuildHiveLog(hive.bytes.data(), 4, pages.data(), pages.size());
    Bytes dirty = before;
    HivePutLe32(dirty.data() + BaseBlockField::PrimarySequence, 4); // marked dirty, nothing in place yet
    HiveSetChecksum(dirty.data());
    const HiveLogBytes logs[] = {{log.data(), log.size()}};
    HiveReplay replay;
    ASSERT_EQ(PlanHiveReplay(dirty.data(), dirty.size(), logs, 1, HiveMaxBinsDataSize, &replay),
              HiveFault::None);
    dirty.resize(HiveBaseBlockSize + replay.largestBinsDataSize);
    ASSERT_EQ(ApplyHiveReplay(&replay, logs, dirty.data(), dirty.size()), HiveFault::None);
    EXPECT_EQ(replay.changes, 1u);
    EXPECT_EQ(replay.sequence, 4u);
    EXPECT_TRUE(
        std::equal(dirty.begin() + HiveBaseBlockSize, dirty.end(), hive.bytes.begin() + HiveBaseBlockSize));
}

} // namespace
