// The order a rename reaches the card in; see hive_commit.h.
#include "hive_commit.h"

#include "hive_log_writer.h"

#include <algorithm>
#include <vector>

namespace {

// What the card holds after a failure in each phase; for Log, on a card that
// was clean and on one that was recovered first.
constexpr struct {
    HivePhase phase;
    const char* left;
    const char* leftRecovered;
} Outcome[] = {
    {HivePhase::Recovering, nullptr,
     "the hive is still dirty, its logs as they were: the board's next boot, or the next run, recovers it"},
    {HivePhase::RecoveredHeader, nullptr,
     "the card holds the old names, but whether its hive is still dirty (its logs as they were) or already "
     "recovered and clean is unknown until the board's next boot, or the next run, which settles it"},
    {HivePhase::Log, "the hive itself was not touched, and holds the old names",
     "the hive was recovered from its logs and is clean, with the old names; the rename was not written"},
    {HivePhase::Growing,
     "the hive itself was not touched, and holds the old names: the card's file system would not make it "
     "longer for the bin the new name needs (a FUSE driver such as fusefat cannot: mount the card with the "
     "kernel's driver, then try again)",
     "the hive was recovered from its logs and is clean, with the old names; the rename was not written: the "
     "card's file system would not make it longer for the bin the new name needs (a FUSE driver such as "
     "fusefat cannot: mount the card with the kernel's driver, then try again)"},
    {HivePhase::Grown,
     "the hive's file grew by zeros past its bins, which its header does not count: it holds the old names "
     "and stays valid as it is",
     "the hive was recovered from its logs and is clean, with the old names, and its file grew by zeros past "
     "its bins, which its header does not count; the rename was not written"},
    {HivePhase::DirtyHeader, nullptr,
     "whether the hive is clean with the old names, or marked dirty with the rename in its log (so that "
     "the board boots renamed), is unknown until the board's next boot, or the next run, which settles it"},
    {HivePhase::Pages, nullptr,
     "the hive is marked dirty, and its log holds the rename: the board boots renamed, and the next run "
     "completes it"},
    {HivePhase::CleanHeader, nullptr,
     "the card holds the new names; its hive may still be marked dirty with the rename in its log until "
     "the board's next boot, or the next run, which settles it"},
};

void PutNumbers(unsigned char* baseBlock, std::uint32_t primary, std::uint32_t secondary) {
    HivePutLe32(baseBlock + BaseBlockField::PrimarySequence, primary);
    HivePutLe32(baseBlock + BaseBlockField::SecondarySequence, secondary);
    HiveSetChecksum(baseBlock);
}

bool WriteHeader(const HiveCommit& commit, const unsigned char* baseBlock) {
    return commit.ops->writeAt(*commit.file, baseBlock, HiveBaseBlockSize, 0) &&
           commit.ops->flush(*commit.file);
}

// Step 0.
bool SettleReplay(const HiveCommit& commit, std::uint32_t sequence, HivePhase* phase) {
    *phase = HivePhase::Recovering;
    for (const HivePageWrite& write : commit.replay->writes) {
        if (!commit.ops->writeAt(*commit.file, write.bytes, write.size,
                                 HiveBaseBlockSize + std::uint64_t{write.offset})) {
            return false;
        }
    }
    if (!commit.ops->flush(*commit.file)) {
        return false;
    }
    *phase = HivePhase::RecoveredHeader;
    unsigned char recovered[HiveBaseBlockSize];
    std::copy(commit.recovered, commit.recovered + HiveBaseBlockSize, recovered);
    PutNumbers(recovered, sequence, sequence);
    return WriteHeader(commit, recovered);
}

// Step 1.
bool WriteLog(const HiveCommit& commit, std::uint32_t entry, const std::vector<std::uint32_t>& pages) {
    std::vector<HiveLogPage> images;
    images.reserve(pages.size());
    for (std::uint32_t page : pages) {
        images.push_back({page, commit.image->bytes + HiveBaseBlockSize + page});
    }
    const bool create = commit.log->empty();
    const std::string name = create ? commit.file->fileName + HiveLogSuffixes[0] : *commit.log;
    return commit.ops->writeLog(*commit.file, name, create,
                                BuildHiveLog(commit.image->bytes, entry, images.data(), images.size()));
}

} // namespace

bool CommitHive(const HiveCommit& commit, HivePhase* phase) {
    std::uint32_t sequence = commit.logSequence;
    if (commit.replay != nullptr) {
        if (!SettleReplay(commit, sequence + 1, phase)) {
            return false;
        }
        sequence += 1;
    }
    const std::uint32_t entry = sequence + 1;
    const std::uint32_t clean = entry + 1;
    std::vector<std::uint32_t> pages = commit.image->changedPages;
    std::sort(pages.begin(), pages.end());
    unsigned char* base = commit.image->bytes;
    *phase = HivePhase::Log;
    const std::uint64_t size =
        HiveBaseBlockSize + std::uint64_t{HiveLe32(base + BaseBlockField::BinsDataSize)};
    if (!WriteLog(commit, entry, pages)) {
        return false;
    }
    *phase = HivePhase::Growing;
    bool grew = false;
    if (!commit.ops->grow(*commit.file, size, &grew)) {
        return false;
    }
    *phase = HivePhase::Grown;
    if (grew && !commit.ops->flush(*commit.file)) {
        return false;
    }
    *phase = HivePhase::DirtyHeader;
    PutNumbers(base, clean, entry);
    if (!WriteHeader(commit, base)) {
        return false;
    }
    *phase = HivePhase::Pages;
    for (std::uint32_t page : pages) {
        if (!commit.ops->writeAt(*commit.file, base + HiveBaseBlockSize + page, HivePageSize,
                                 HiveBaseBlockSize + std::uint64_t{page})) {
            return false;
        }
    }
    if (!commit.ops->flush(*commit.file)) {
        return false;
    }
    *phase = HivePhase::CleanHeader;
    PutNumbers(base, clean, clean);
    return WriteHeader(commit, base);
}

const char* HiveFailureLeft(HivePhase phase, bool recovered) {
    for (const auto& outcome : Outcome) {
        if (outcome.phase == phase) {
            return recovered || outcome.left == nullptr ? outcome.leftRecovered : outcome.left;
        }
    }
    return "";
}
