// The commit's protocol, run by both builds (the Windows one under Wine) on a
// card in memory that records every write and flush:
//   - every write and flush failed in turn: the card then holds the old name
//     or the new, and the failure's words (HiveFailureLeft) say which;
//   - a power cut after each operation: the flushed bytes, plus any subset of
//     the 512-byte sectors written since the last flush (every subset up to
//     12 sectors, 300 drawn at random beyond), must boot with the old name
//     or the new.
// A plain program rather than a gtest one: mingw has no gtest.
#include "built_hive.h"
#include "hive_cell_writer.h"
#include "hive_commit.h"
#include "hive_log_writer.h"
#include "hive_replay.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <map>
#include <random>
#include <string>

namespace {

int failures = 0;

void Check(bool condition, const std::string& what) {
    if (!condition) {
        fprintf(stderr, "commit_model: %s\n", what.c_str());
        ++failures;
    }
}

// One operation as the card saw it: a write of the hive (`log` empty) or of a
// log, the hive grown, or the hive flushed. A log is written and flushed in
// one call, as both file layers do.
struct Operation {
    enum { Write, Grow, Flush } kind;
    std::string log;
    size_t offset = 0;
    Bytes bytes;
};

// A card in memory as a commit writes it: the hive's bytes and its logs,
// every write and flush counted and recorded, the Nth failing.
struct Card {
    Bytes hive;
    std::map<std::string, Bytes> logs;
    std::vector<Operation> done;
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
        if (card->Fails()) {
            return false;
        }
        Put(&card->hive, bytes, size, static_cast<size_t>(offset));
        card->done.push_back({Operation::Write, "", static_cast<size_t>(offset), Bytes(bytes, bytes + size)});
        return true;
    },
    [](const HiveFile&) {
        card->done.push_back({Operation::Flush, "", 0, {}});
        return !card->Fails();
    },
    [](const HiveFile&, std::uint64_t size, bool* grew) {
        *grew = size > card->hive.size();
        if (card->Fails()) {
            return false;
        }
        card->hive.resize(std::max<size_t>(card->hive.size(), size));
        card->done.push_back({Operation::Grow, "", static_cast<size_t>(size), {}});
        return true;
    },
    [](const HiveFile&, const std::string& name, bool, const Bytes& bytes) {
        const Bytes written = LogAsWritten(bytes, card->logs[name].size());
        if (card->Fails()) {
            return false;
        }
        Put(&card->logs[name], written.data(), written.size(), 0);
        card->done.push_back({Operation::Write, name, 0, written});
        return true;
    },
};

// Key\Name as Windows would read it at boot: from the hive, through its logs
// when it is dirty.
std::string NameAtBoot(Bytes hive, const std::map<std::string, Bytes>& logs) {
    if (IsDirtyBaseBlock(hive.data())) {
        const Bytes log = logs.count("SYSTEM.LOG1") != 0 ? logs.at("SYSTEM.LOG1") : Bytes();
        const HiveLogBytes views[] = {{log.data(), log.size()}};
        HiveReplay replay;
        if (PlanHiveReplay(hive.data(), hive.size(), views, 1, HiveMaxBinsDataSize, &replay) != HiveFault::None) {
            return "(no replay)";
        }
        hive.resize(std::max<size_t>(hive.size(), HiveBaseBlockSize + replay.largestBinsDataSize));
        if (ApplyHiveReplay(&replay, views, hive.data(), hive.size()) != HiveFault::None) {
            return "(replay failed)";
        }
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

const std::string Old("A\0B\0C\0\0\0", 8);
const std::string Renamed("n\0e\0w\0-\0n\0a\0m\0e\0\0\0", 18);

// A rename that grows the hive (the new name needs a cell of its own), its
// commit's Nth write or flush failing; the card as it was before in `before`.
bool Commit(int failing, Card* at, Card* before, HivePhase* phase) {
    Built hive;
    at->hive.assign(hive.bytes.begin(), hive.bytes.begin() + HiveBaseBlockSize + Bins);
    at->failing = failing;
    const HiveLogPage page = {0, at->hive.data() + HiveBaseBlockSize};
    const Bytes stale = BuildHiveLog(at->hive.data(), 5, &page, 1);
    HiveImage image = hive.Image();
    HiveValue value;
    if (FindHiveValue(image, hive.key, "Name", true, &value) != HiveFault::None ||
        SetHiveValue(&image, hive.key, value, 1, reinterpret_cast<const unsigned char*>(Renamed.data()),
                     static_cast<std::uint32_t>(Renamed.size())) != HiveFault::None) {
        Check(false, "the rename cannot be planned");
        return false;
    }
    // A stale entry of the old page, numbered next, lies where the rename's entry will end
    // (unseen by the reader: past a gap): a boot must not chain it.
    Bytes& log1 = at->logs["SYSTEM.LOG1"];
    const std::vector<HiveLogPage> sized(image.changedPages.size(), page);
    log1.assign(BuildHiveLog(image.bytes, 4, sized.data(), sized.size()).size(), 0);
    log1.insert(log1.end(), stale.begin() + HiveLogHeaderSize, stale.end());
    *before = *at;
    card = at;
    HiveFile file;
    file.fileName = "SYSTEM";
    const std::string log = "SYSTEM.LOG1";
    *phase = HivePhase::Log;
    return CommitHive({&InMemory, &file, &image, nullptr, nullptr, 3, &log}, phase);
}

void EveryFailure() {
    for (int failing = 0, calls = 1; failing <= calls; ++failing) {
        Card at;
        Card before;
        HivePhase phase = HivePhase::Log;
        const bool done = Commit(failing, &at, &before, &phase);
        calls = failing == 0 ? at.calls : calls;
        const std::string left = done ? "the card holds the new names" : HiveFailureLeft(phase, false);
        const std::string name = NameAtBoot(at.hive, at.logs);
        const std::string where = "call " + std::to_string(failing) + " failed (" + left + "): ";
        Check(done == (failing == 0), where + "the commit's result");
        if (left.find("holds the old names") != std::string::npos) {
            Check(name == Old, where + "the new name, or none");
        } else if (left.find("boots renamed, and the next run") != std::string::npos ||
                   left.find("holds the new names") != std::string::npos) {
            Check(name == Renamed, where + "the old name, or none");
        } else {
            Check(name == Old || name == Renamed, where + "neither name");
        }
    }
}

// The card after a power cut: `durable` with the chosen units of `pending`
// (the hive's writes and growth since the last flush, in 512-byte units).
struct Unit {
    const Operation* operation;
    size_t from; // within the operation's bytes
};

void PowerCuts() {
    Card at;
    Card before;
    HivePhase phase = HivePhase::Log;
    Check(Commit(0, &at, &before, &phase), "the commit fails with nothing failing");
    std::mt19937 draw(7);
    size_t cuts = 0;
    size_t states = 0;
    for (size_t cut = 0; cut <= at.done.size(); ++cut) {
        // What the last flush before the cut made durable, and what it did not.
        Card durable = before;
        std::vector<Unit> pending;
        for (size_t i = 0; i < cut; ++i) {
            const Operation& op = at.done[i];
            if (op.kind == Operation::Flush) {
                for (const Unit& unit : pending) {
                    const Operation& late = *unit.operation;
                    late.kind == Operation::Grow
                        ? durable.hive.resize(std::max(durable.hive.size(), late.offset))
                        : Put(&durable.hive, late.bytes.data() + unit.from,
                              std::min<size_t>(HiveLogUnit, late.bytes.size() - unit.from), late.offset + unit.from);
                }
                pending.clear();
            } else if (!op.log.empty()) {
                Put(&durable.logs[op.log], op.bytes.data(), op.bytes.size(), 0);
            } else if (op.kind == Operation::Grow) {
                pending.push_back({&op, 0});
            } else {
                for (size_t from = 0; from < op.bytes.size(); from += HiveLogUnit) {
                    pending.push_back({&op, from});
                }
            }
        }
        const size_t subsets = pending.size() <= 12 ? size_t{1} << pending.size() : 300;
        for (size_t s = 0; s < subsets; ++s) {
            Card state = durable;
            for (size_t u = 0; u < pending.size(); ++u) {
                const bool written = pending.size() <= 12 ? (s >> u & 1) != 0 : (draw() & 1) != 0;
                const Operation& op = *pending[u].operation;
                if (written && op.kind == Operation::Grow) {
                    state.hive.resize(std::max(state.hive.size(), op.offset));
                } else if (written) {
                    Put(&state.hive, op.bytes.data() + pending[u].from,
                        std::min<size_t>(HiveLogUnit, op.bytes.size() - pending[u].from),
                        op.offset + pending[u].from);
                }
            }
            const std::string name = NameAtBoot(state.hive, state.logs);
            Check(name == Old || name == Renamed,
                  "a power cut after operation " + std::to_string(cut) + " boots with " + name);
            ++states;
        }
        ++cuts;
    }
    printf("commit_model: %zu power cuts, %zu card states\n", cuts, states);
}

} // namespace

int main() {
    EveryFailure();
    PowerCuts();
    if (failures == 0) {
        printf("commit_model: every failure and every power cut leaves the old name or the new\n");
    }
    return failures == 0 ? 0 : 1;
}
