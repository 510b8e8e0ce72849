// Replaying a dirty hive's logs, on hives and logs built here byte by byte:
// one bin of three pages of one letter, and entries that paint pages other letters.
#include "hive_replay.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>

namespace {

using Bytes = std::vector<unsigned char>;
using Pages = std::vector<std::pair<std::uint32_t, char>>; // bins offset, the page's letter

constexpr std::uint32_t Secondary = 7; // the dirty primary's second sequence number
constexpr std::uint32_t Bins = 3 * 4096;

void Put32(Bytes* bytes, size_t at, std::uint32_t value) {
    HivePutLe32(bytes->data() + at, value);
}

void Seal(Bytes* block) {
    HiveSetChecksum(block->data());
}

Bytes Primary() {
    Bytes hive(HiveBaseBlockSize + Bins, 'A');
    memset(hive.data(), 0, HiveBaseBlockSize);
    memcpy(hive.data() + BaseBlockField::Signature, "regf", 4);
    for (auto [at, value] : {std::pair{BaseBlockField::PrimarySequence, Secondary + 1},
                             {BaseBlockField::SecondarySequence, Secondary},
                             {BaseBlockField::Timestamp, 0x1234u},
                             {BaseBlockField::Major, 1u},
                             {BaseBlockField::Minor, 5u},
                             {BaseBlockField::Format, 1u},
                             {BaseBlockField::RootCell, 32u},
                             {BaseBlockField::BinsDataSize, Bins},
                             {BaseBlockField::ClusteringFactor, 1u}}) {
        Put32(&hive, at, value);
    }
    Seal(&hive);
    memcpy(hive.data() + HiveBaseBlockSize + BinField::Signature, "hbin", 4);
    Put32(&hive, HiveBaseBlockSize + BinField::Offset, 0);
    Put32(&hive, HiveBaseBlockSize + BinField::Size, Bins);
    return hive;
}

// Both hashes anew, after the entry's header was changed.
void Rehash(Bytes* entry) {
    HivePutLe64(entry->data() + LogEntryField::DataHash, Marvin32(entry->data() + LogEntryField::HeaderSize,
                                                                  entry->size() - LogEntryField::HeaderSize));
    HivePutLe64(entry->data() + LogEntryField::HeaderHash,
                Marvin32(entry->data(), LogEntryField::HeaderHash));
}

Bytes Entry(std::uint32_t sequence, const Pages& pages, std::uint32_t bins = Bins, std::uint32_t flags = 0,
            size_t align = HiveLogUnit) {
    Bytes entry(LogEntryField::HeaderSize);
    for (auto [offset, letter] : pages) {
        for (std::uint32_t word : {offset, HivePageSize}) {
            entry.resize(entry.size() + 4);
            Put32(&entry, entry.size() - 4, word);
        }
    }
    for (auto page : pages) {
        entry.insert(entry.end(), HivePageSize, static_cast<unsigned char>(page.second));
    }
    entry.resize((entry.size() + align - 1) / align * align);
    memcpy(entry.data() + LogEntryField::Signature, "HvLE", 4);
    for (auto [at, value] : {std::pair{LogEntryField::Size, static_cast<std::uint32_t>(entry.size())},
                             {LogEntryField::Flags, flags},
                             {LogEntryField::Sequence, sequence},
                             {LogEntryField::BinsDataSize, bins},
                             {LogEntryField::PageCount, static_cast<std::uint32_t>(pages.size())}}) {
        Put32(&entry, at, value);
    }
    Rehash(&entry);
    return entry;
}

Bytes Log(std::uint32_t sequence, const std::vector<Bytes>& entries, std::uint32_t type = HiveNewFormatLog) {
    Bytes log = Primary();
    log.resize(HiveLogHeaderSize);
    Put32(&log, BaseBlockField::PrimarySequence, sequence);
    Put32(&log, BaseBlockField::SecondarySequence, sequence);
    Put32(&log, BaseBlockField::FileType, type);
    Seal(&log);
    for (const Bytes& entry : entries) {
        log.insert(log.end(), entry.begin(), entry.end());
    }
    return log;
}

// An old-format log: the bitmap marks whole 4096-byte blocks.
Bytes OldLog(const Pages& pages, std::uint32_t timestamp = 0x1234) {
    Bytes log = Log(Secondary, {}, HiveOldFormatLog);
    Put32(&log, BaseBlockField::Timestamp, timestamp);
    Seal(&log);
    Bytes bits(Bins / HiveLogUnit / 8);
    for (auto page : pages) {
        bits[page.first / HivePageSize] = 0xFF;
    }
    log.insert(log.end(), {'D', 'I', 'R', 'T'});
    log.insert(log.end(), bits.begin(), bits.end());
    log.resize(2 * HiveLogUnit);
    for (auto page : pages) {
        log.insert(log.end(), HivePageSize, static_cast<unsigned char>(page.second));
    }
    return log;
}

struct Outcome {
    std::string reason;
    HiveReplay replay;
    Bytes image;
    // The first letter of each 4096-byte bins page, past the header's 32 bytes.
    std::string Letters() const {
        std::string letters;
        for (size_t at = HiveBaseBlockSize + BinField::HeaderSize; at < image.size(); at += HivePageSize) {
            letters += static_cast<char>(image[at]);
        }
        return letters;
    }
};

Outcome Replay(Bytes primary, const std::vector<Bytes>& logs) {
    std::vector<HiveLogBytes> views;
    for (const Bytes& log : logs) {
        views.push_back({log.data(), log.size()});
    }
    Outcome out;
    HiveFault fault =
        PlanHiveReplay(primary.data(), primary.size(), views.data(), views.size(), 1u << 20, &out.replay);
    if (fault == HiveFault::None) {
        primary.resize(HiveBaseBlockSize + size_t{out.replay.largestBinsDataSize});
        fault = ApplyHiveReplay(&out.replay, views.data(), primary.data(), primary.size());
        primary.resize(HiveBaseBlockSize + size_t{out.replay.binsDataSize});
    }
    out.reason = HiveFaultText(fault);
    out.image = primary;
    return out;
}

TEST(HiveReplayTest, Marvin32KnownAnswers) {
    Bytes counting(512);
    for (size_t i = 0; i < counting.size(); ++i) {
        counting[i] = static_cast<unsigned char>(i);
    }
    const Bytes zeros(32);
    EXPECT_EQ(Marvin32(nullptr, 0), 0xB39EFCA403966E08u);
    EXPECT_EQ(Marvin32(zeros.data(), zeros.size()), 0xDA91A06AC5359223u);
    EXPECT_EQ(Marvin32(counting.data(), counting.size()), 0x4303FA045AFD4B75u);
}

TEST(HiveReplayTest, NewFormatChainsAcrossLogsAndStopsWhereWindowsStops) {
    const Bytes e7 = Entry(7, {{0, 'B'}}), e8 = Entry(8, {{4096, 'C'}}), e9 = Entry(9, {{8192, 'D'}});
    Bytes badBody = e8, badHead = e8;
    badBody.back() ^= 1;
    badHead[LogEntryField::HeaderHash + 5] ^= 1;
    struct Row {
        const char* what;
        std::vector<Bytes> logs;
        const char* letters;
        unsigned changes;
        std::uint32_t sequence;
    } rows[] = {
        {"one log", {Log(7, {e7, e8, e9})}, "BCD", 3, 9},
        {"split logs", {Log(7, {e7, e8}), Log(9, {e9})}, "BCD", 3, 9},
        {"split logs, LOG2 earlier", {Log(9, {e9}), Log(7, {e7, e8})}, "BCD", 3, 9},
        {"bad hash 1, a valid entry after it", {Log(7, {e7, badBody, e9})}, "BAA", 1, 9},
        {"bad hash 2", {Log(7, {e7, badHead})}, "BAA", 1, 7},
        {"broken chain", {Log(7, {e7, e9})}, "BAA", 1, 9},
        {"LOG2 not next after LOG1", {Log(7, {e7}), Log(9, {e9})}, "BAA", 1, 9},
        {"stale LOG1, LOG2 alone", {Log(5, {Entry(5, {{0, 'Z'}})}), Log(7, {e7})}, "BAA", 1, 7},
        {"garbage after the last entry",
         {[&] {
             Bytes log = Log(7, {e7});
             log.insert(log.end(), 3000, 0xEE);
             return log;
         }()},
         "BAA",
         1,
         7},
    };
    for (const Row& row : rows) {
        const Outcome out = Replay(Primary(), row.logs);
        ASSERT_EQ(out.reason, "") << row.what;
        EXPECT_EQ(out.Letters(), row.letters) << row.what;
        EXPECT_EQ(out.replay.changes, row.changes) << row.what;
        // Above every entry with valid hashes, applied or not.
        EXPECT_EQ(HiveLe32(out.image.data() + BaseBlockField::PrimarySequence), row.sequence) << row.what;
        EXPECT_EQ(HiveLe32(out.image.data() + BaseBlockField::SecondarySequence), row.sequence) << row.what;
        EXPECT_FALSE(IsDirtyBaseBlock(out.image.data())) << row.what;
    }
}

TEST(HiveReplayTest, GrowthFlagsAndATornPrimary) {
    Outcome out = Replay(Primary(), {Log(7, {Entry(7, {{12288, 'E'}}, Bins + 4096, 1)})});
    ASSERT_EQ(out.reason, "");
    EXPECT_EQ(out.Letters(), "AAAE");
    EXPECT_EQ(HiveLe32(out.image.data() + BaseBlockField::BinsDataSize), Bins + HivePageSize);
    EXPECT_EQ(HiveLe32(out.image.data() + BaseBlockField::Flags) & 1, 1u);

    // A torn base block: the latest log's copy, that log alone.
    Bytes torn = Primary();
    torn[BaseBlockField::FileName + 52] ^= 1;
    out = Replay(torn, {Log(7, {Entry(7, {{0, 'B'}})}), Log(8, {Entry(8, {{4096, 'C'}})})});
    ASSERT_EQ(out.reason, "");
    EXPECT_EQ(out.Letters(), "ACA");
    EXPECT_EQ(out.image[BaseBlockField::FileName + 52], 0);
    EXPECT_TRUE(HasValidChecksum(out.image.data()));
}

TEST(HiveReplayTest, OldFormat) {
    Outcome out = Replay(Primary(), {Bytes(), OldLog({{4096, 'B'}})});
    ASSERT_EQ(out.reason, "");
    EXPECT_EQ(out.replay.format, HiveLogFormat::DirtyPages);
    EXPECT_EQ(out.replay.changes, 8u);
    EXPECT_EQ(out.Letters(), "ABA");
    // The timestamp must be the primary's.
    EXPECT_NE(Replay(Primary(), {OldLog({{4096, 'B'}}, 0x999)}).reason, "");
    // A bitmap byte of 0x0F marks that block's first four sectors alone.
    Bytes half = OldLog({{4096, 'B'}});
    half[DirtyLogField::Bitmap + 1] = 0x0F;
    out = Replay(Primary(), {half});
    EXPECT_EQ(out.replay.changes, 4u);
    EXPECT_EQ(out.image[HiveBaseBlockSize + 4096 + 2047], 'B');
    EXPECT_EQ(out.image[HiveBaseBlockSize + 4096 + 2048], 'A');
    // A run that begins a bin must begin with its header: 'C' is no hbin.
    out = Replay(Primary(), {OldLog({{0, 'C'}})});
    EXPECT_EQ(out.reason, "its logs hold no change that applies to it");
}

TEST(HiveReplayTest, RefusalsAndHostileLogs) {
    Bytes hugeCount = Entry(7, {{0, 'B'}});
    Put32(&hugeCount, LogEntryField::PageCount, 0xFFFFFFFF);
    Rehash(&hugeCount);
    const Bytes oddSize = Entry(7, {{0, 'B'}}, Bins, 0, 8);
    struct Row {
        const char* what;
        std::vector<Bytes> logs;
        const char* reason;
    } rows[] = {
        {"empty logs", {Bytes(), Bytes()}, "its logs are empty"},
        {"bad log headers",
         {Bytes(600, 1),
          [] {
              Bytes log = Log(7, {Entry(7, {{0, 'B'}})});
              log[BaseBlockField::PrimarySequence + 2] ^= 1;
              return log;
          }()},
         "no log beside it has a valid header"},
        {"stale log", {Log(6, {Entry(6, {{0, 'B'}})})}, "its logs hold no change that applies to it"},
        {"sequence numbers apart, sealed",
         {[] {
             Bytes log = Log(7, {Entry(7, {{0, 'B'}})});
             Put32(&log, BaseBlockField::SecondarySequence, 8);
             Seal(&log);
             return log;
         }()},
         "no log beside it has a valid header"},
        {"entry below its log's number",
         {Log(7, {Entry(6, {{0, 'B'}})})},
         "its logs hold no change that applies to it"},
        {"page past the bins",
         {Log(7, {Entry(7, {{Bins, 'B'}})})},
         "its logs hold no change that applies to it"},
        {"bins past the limit",
         {Log(7, {Entry(7, {{0, 'B'}}, 2u << 20)})},
         "its logs hold no change that applies to it"},
        {"page count overflowing", {Log(7, {hugeCount})}, "its logs hold no change that applies to it"},
        {"size not a multiple of 512", {Log(7, {oddSize})}, "its logs hold no change that applies to it"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(Replay(Primary(), row.logs).reason, row.reason) << row.what;
    }
}

// What a file layer reads of a log: the chain up to the first entry that is
// not valid, the old format's bitmap and marked pages, a header alone.
TEST(HiveReplayTest, ALogIsReadAsFarAsAReplayCanUseIt) {
    Bytes chain = Log(7, {Entry(7, {{0, 'B'}}), Entry(8, {{4096, 'C'}})});
    const size_t valid = chain.size();
    chain.resize(valid + 4 * HiveLogUnit); // zeros, then a valid entry a replay never reaches
    const Bytes stale = Entry(9, {{0, 'D'}});
    chain.insert(chain.end(), stale.begin(), stale.end());
    Bytes old = OldLog({{4096, 'B'}});
    const size_t oldUsed = old.size();
    old.resize(oldUsed + HivePageSize);
    Bytes zeros(1u << 20);
    for (const auto& [log, useful] : {std::pair{&chain, valid}, {&old, oldUsed}, {&zeros, size_t{512}}}) {
        size_t have = 0;
        size_t cursor = 0;
        for (size_t want;
             (want = HiveLogUsefulLength(log->data(), have, log->size(), 1u << 20, &cursor)) > have;) {
            have = want;
        }
        EXPECT_EQ(HiveLogUsefulLength(log->data(), have, log->size(), 1u << 20, &cursor), useful);
    }
    // A 512-byte gap ends the chain; a log's highest number is its last valid entry's.
    EXPECT_EQ(Replay(Primary(), {Log(7, {Entry(7, {{0, 'B'}}), Bytes(512), Entry(8, {{4096, 'C'}})})})
                  .replay.changes,
              1u);
    const Bytes two = Log(7, {Entry(7, {{0, 'B'}}), Entry(8, {{4096, 'C'}})});
    const HiveLogBytes view = {two.data(), two.size()};
    std::uint32_t highest = 0;
    ASSERT_TRUE(HighestLogSequence(&view, 1, 1u << 20, 0, &highest));
    EXPECT_EQ(highest, 8u);
}

} // namespace
