// The cell reader and writer, and the log a rename writes, on a hive built
// here cell by cell: a root key with one subkey, `Key`, whose values are
// `Name` (UTF-16 in a cell of its own), `Small` (in its record) and `Twin`
// (sharing Name's cell).
#include "hive_cell_writer.h"
#include "hive_commit.h"
#include "hive_log_writer.h"
#include "hive_replay.h"

#include <algorithm>
#include <cerrno>
#include <map>

#include <cstring>
#include <gtest/gtest.h>
#include <string>

namespace {

using Bytes = std::vector<unsigned char>;
constexpr std::uint32_t Bins = HivePageSize;

struct Built {
    std::uint32_t bins;
    Bytes bytes; // with room for added bins
    std::uint32_t next = BinField::HeaderSize;
    std::uint32_t key = 0;
    std::uint32_t nameCell = 0;

    unsigned char* At(std::uint32_t offset) {
        return bytes.data() + HiveBaseBlockSize + offset;
    }
    // A cell of `size` data bytes; its data pointer.
    std::uint32_t Cell(std::uint32_t size) {
        const std::uint32_t cell = next;
        const std::uint32_t whole = (CellField::Data + size + 7) / 8 * 8;
        HivePutLe32(At(cell) + CellField::Size, 0u - whole);
        next += whole;
        return cell;
    }
    unsigned char* Data(std::uint32_t cell) {
        return At(cell) + CellField::Data;
    }
    std::uint32_t Node(const char* name) {
        const std::uint32_t cell = Cell(KeyNodeField::Name + static_cast<std::uint32_t>(strlen(name)));
        memcpy(Data(cell) + KeyNodeField::Signature, "nk", 2);
        Data(cell)[KeyNodeField::Flags] = KeyNodeField::LatinName;
        Data(cell)[KeyNodeField::NameLength] = static_cast<unsigned char>(strlen(name));
        memcpy(Data(cell) + KeyNodeField::Name, name, strlen(name));
        return cell;
    }
    std::uint32_t Value(const char* name, std::uint32_t size, std::uint32_t data) {
        const std::uint32_t cell = Cell(ValueRecordField::Name + static_cast<std::uint32_t>(strlen(name)));
        memcpy(Data(cell) + ValueRecordField::Signature, "vk", 2);
        Data(cell)[ValueRecordField::NameLength] = static_cast<unsigned char>(strlen(name));
        HivePutLe32(Data(cell) + ValueRecordField::DataSize, size);
        HivePutLe32(Data(cell) + ValueRecordField::Data, data);
        HivePutLe32(Data(cell) + ValueRecordField::Type, 1); // REG_SZ
        Data(cell)[ValueRecordField::Flags] = ValueRecordField::LatinName;
        memcpy(Data(cell) + ValueRecordField::Name, name, strlen(name));
        return cell;
    }

    explicit Built(std::uint32_t binsSize = Bins)
        : bins(binsSize), bytes(HiveBaseBlockSize + bins + 2 * HivePageSize) {
        unsigned char* base = bytes.data();
        memcpy(base + BaseBlockField::Signature, "regf", 4);
        for (auto [at, value] : {std::pair{BaseBlockField::PrimarySequence, 3u},
                                 {BaseBlockField::SecondarySequence, 3u},
                                 {BaseBlockField::Major, 1u},
                                 {BaseBlockField::Minor, 5u},
                                 {BaseBlockField::Format, 1u},
                                 {BaseBlockField::BinsDataSize, bins}}) {
            HivePutLe32(base + at, value);
        }
        memcpy(At(0) + BinField::Signature, "hbin", 4);
        HivePutLe32(At(0) + BinField::Size, bins);
        const std::uint32_t root = Node("ROOT");
        key = Node("Key");
        const std::uint32_t list = Cell(SubkeyListField::Elements + SubkeyListField::HintedElement);
        memcpy(Data(list), "lf", 2);
        Data(list)[SubkeyListField::Count] = 1;
        HivePutLe32(Data(list) + SubkeyListField::Elements, key);
        memcpy(Data(list) + SubkeyListField::Elements + SubkeyListField::Hint, "Key", 3);
        HivePutLe32(Data(root) + KeyNodeField::SubkeyCount, 1);
        HivePutLe32(Data(root) + KeyNodeField::SubkeyList, list);
        nameCell = Cell(8);
        memcpy(Data(nameCell), "A\0B\0C\0\0\0", 8);
        const std::uint32_t values = Cell(3 * sizeof(std::uint32_t));
        const std::uint32_t records[] = {Value("Name", 8, nameCell),
                                         Value("Small", 2 | ValueRecordField::DataInRecord, 'x'),
                                         Value("Twin", 8, nameCell)};
        memcpy(Data(values), records, sizeof records);
        HivePutLe32(Data(key) + KeyNodeField::ValueCount, 3);
        HivePutLe32(Data(key) + KeyNodeField::ValueList, values);
        HivePutLe32(Data(key) + KeyNodeField::LargestValueData, 8);
        RestFree();
        HivePutLe32(base + BaseBlockField::RootCell, root);
        HiveSetChecksum(base);
    }
    void RestFree() {
        HivePutLe32(At(next) + CellField::Size, bins - next);
    }
    HiveImage Image() {
        HiveImage image;
        image.bytes = bytes.data();
        image.capacity = bytes.size();
        return image;
    }
};

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

// A card in memory as a commit writes it: the hive's bytes and its logs,
// every write and flush counted, the Nth failing.
struct Card {
    Bytes hive;
    std::map<std::string, Bytes> logs;
    int calls = 0;
    int failing = 0; // 0: none fails
    bool Fails() {
        errno = EIO;
        return ++calls == failing;
    }
};
Card* card = nullptr;

// `bytes` over `file` at `offset`, as a positioned write leaves them.
void Put(Bytes* file, const unsigned char* bytes, size_t size, size_t offset) {
    file->resize(std::max(file->size(), offset + size));
    std::copy(bytes, bytes + size, file->begin() + static_cast<std::ptrdiff_t>(offset));
}

const HiveFileOps InMemory = {
    [](const HiveFile&, const unsigned char* bytes, size_t size, std::uint64_t offset) {
        return !card->Fails() && (Put(&card->hive, bytes, size, static_cast<size_t>(offset)), true);
    },
    [](const HiveFile&) { return !card->Fails(); },
    [](const HiveFile&, std::uint64_t size, bool* grew) {
        *grew = size > card->hive.size();
        return !card->Fails() && (card->hive.resize(std::max<size_t>(card->hive.size(), size)), true);
    },
    [](const HiveFile&, const std::string& name, bool, const Bytes& bytes) {
        const Bytes written = LogAsWritten(bytes, card->logs[name].size());
        return !card->Fails() && (Put(&card->logs[name], written.data(), written.size(), 0), true);
    },
};

// Key\Name as Windows would read it at boot: from the hive, through its logs
// when it is dirty.
std::string NameAtBoot(const Card& at) {
    Bytes hive = at.hive;
    if (IsDirtyBaseBlock(hive.data())) {
        const Bytes log = at.logs.count("SYSTEM.LOG1") != 0 ? at.logs.at("SYSTEM.LOG1") : Bytes();
        const HiveLogBytes logs[] = {{log.data(), log.size()}};
        HiveReplay replay;
        if (PlanHiveReplay(hive.data(), hive.size(), logs, 1, HiveMaxBinsDataSize, &replay) !=
            HiveFault::None) {
            return "(no replay)";
        }
        hive.resize(std::max<size_t>(hive.size(), HiveBaseBlockSize + replay.largestBinsDataSize));
        EXPECT_EQ(ApplyHiveReplay(&replay, logs, hive.data(), hive.size()), HiveFault::None);
    }
    HiveImage image;
    image.bytes = hive.data();
    image.capacity = hive.size();
    std::uint32_t key = HiveNoCell;
    HiveValue value;
    if (FindHiveSubkey(image, HiveRootKey(image), "Key", &key) != HiveFault::None || key == HiveNoCell ||
        FindHiveValue(image, key, "Name", true, &value) != HiveFault::None || value.data == nullptr) {
        return "(unreadable)";
    }
    return std::string(reinterpret_cast<const char*>(value.data), value.size);
}

// Every write and flush of a rename that grows the hive failed in turn: the
// card then holds the old name or the new, and the failure's words say which.
TEST(HiveCommitTest, EveryPhaseFailedSaysWhatTheCardHolds) {
    const std::string old("A\0B\0C\0\0\0", 8);
    const std::string renamed = "n\0e\0w\0-\0n\0a\0m\0e\0\0\0";
    for (int failing = 0, calls = 1; failing <= calls; ++failing) {
        Built hive;
        Card at;
        at.hive.assign(hive.bytes.begin(), hive.bytes.begin() + HiveBaseBlockSize + Bins);
        at.failing = failing;
        const HiveLogPage page = {0, at.hive.data() + HiveBaseBlockSize};
        const Bytes stale = BuildHiveLog(at.hive.data(), 5, &page, 1);
        card = &at;
        HiveImage image = hive.Image();
        HiveValue value;
        ASSERT_EQ(FindHiveValue(image, hive.key, "Name", true, &value), HiveFault::None);
        ASSERT_EQ(SetHiveValue(&image, hive.key, value, 1,
                               reinterpret_cast<const unsigned char*>(renamed.data()),
                               static_cast<std::uint32_t>(renamed.size())),
                  HiveFault::None);
        // A stale entry of the old page, numbered next, lies where the rename's entry will end
        // (unseen by the reader: past a gap): a boot must not chain it.
        Bytes& log1 = at.logs["SYSTEM.LOG1"];
        const std::vector<HiveLogPage> sized(image.changedPages.size(), page);
        log1.assign(BuildHiveLog(image.bytes, 4, sized.data(), sized.size()).size(), 0);
        log1.insert(log1.end(), stale.begin() + HiveLogHeaderSize, stale.end());
        HiveFile file;
        file.fileName = "SYSTEM";
        const std::string log = "SYSTEM.LOG1";
        HivePhase phase = HivePhase::Log;
        const bool done = CommitHive({&InMemory, &file, &image, nullptr, nullptr, 3, &log}, &phase);
        calls = failing == 0 ? at.calls : calls;
        const std::string left = done ? "the card holds the new names" : HiveFailureLeft(phase, false);
        const std::string name = NameAtBoot(at);
        EXPECT_EQ(done, failing == 0) << failing;
        EXPECT_TRUE(name == old || name == renamed) << failing << ": " << name;
        if (left.find("holds the old names") != std::string::npos) {
            EXPECT_EQ(name, old) << failing << ": " << left;
        } else if (left.find("boots renamed, and the next run") != std::string::npos ||
                   left.find("holds the new names") != std::string::npos) {
            EXPECT_EQ(name, renamed) << failing << ": " << left;
        }
    }
}

} // namespace
