// CompareNames against the host's code-page services, one table per code page.
#include "name_store.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <string>

namespace {

struct Row {
    const char* first;
    const char* second;
    bool same;
};

void ExpectRows(const char* locale, const Row* rows, size_t count) {
    setenv("LC_ALL", locale, 1);
    for (size_t i = 0; i < count; ++i) {
        const Row& row = rows[i];
        // Agreement must not depend on which side is H1.
        EXPECT_EQ(CompareNames(row.first, row.second) == 0, row.same) << locale << " row " << i;
        EXPECT_EQ(CompareNames(row.second, row.first) == 0, row.same) << locale << " row " << i << " swapped";
    }
    unsetenv("LC_ALL");
}

TEST(CompareNames, SingleByteCodePageFoldsOnlyAsciiLetters) {
    constexpr Row rows[] = {
        {"GALILEO", "galileo", true},
        {"GaLiLeO-01", "gAlIlEo-01", true},
        {"", "", true},
        {"abc", "abcd", false},
        {"abc", "", false},
        {"a b", "a_b", false},
        {"\xC4x", "\xE4x", false}, // Latin capital and small A with diaeresis
        {"@", "`", false},         // neighbours of A-Z and a-z are not letters
        {"[", "{", false},
        {"A", "a", true}, // the first and last letters fold too
        {"Z", "z", true},
        {"AZ@[", "az@[", true},
        {"a`", "A@", false},
        {"z{", "Z[", false},
    };
    ExpectRows("C", rows, std::size(rows));
}

TEST(CompareNames, ShiftJisFoldsDoubleByteLetters) {
    constexpr Row rows[] = {
        {"\x82\x60\x82\x61", "\x82\x81\x82\x82", true},  // fullwidth AB / ab
        {"\x83\x9F\x83\xA0", "\x83\xBF\x83\xC0", true},  // Greek alpha beta
        {"\x84\x40\x84\x41", "\x84\x70\x84\x71", true},  // Cyrillic a be
        {"Galileo\x82\x60", "gALILEO\x82\x81", true},    // single bytes fold too
        {"\x82\x60\x82\x61", "\x82\x81\x82\x83", false}, // fullwidth AB / ac
        {"\x83\x41", "\x83\x61", false},                 // trail bytes are not ASCII letters
        {"\xB1", "\xB1", true},                          // halfwidth katakana
        {"\xB1", "\xB2", false},
        {"AB\x82", "ab", true}, // a lead byte before the NUL ends the name
        {"AB\x82", "AB\x83", true},
        {"AB\x82", "ABC", false},
        {"\x85\x40", "\x85\x40", false}, // unassigned: cannot be mapped
        {"A\x85\x40", "A", false},
        {"\x82\x60", "A", false}, // fullwidth is not ASCII
    };
    ExpectRows("ja_JP.SJIS", rows, std::size(rows));
}

TEST(CompareNames, Utf8FoldsOnlyAsciiLetters) {
    constexpr Row rows[] = {
        {"Galileo", "GALILEO", true},
        {"\xC3\x84", "\xC3\xA4", false}, // A and a with diaeresis
        {"\xEF\xBC\xA1", "\xEF\xBC\xA1", true},
        {"\xEF\xBC\xA1", "\xEF\xBD\x81", false}, // fullwidth A / a
        {"name\xC3", "name", false},             // no lead bytes here
    };
    ExpectRows("C.UTF-8", rows, std::size(rows));
}

TEST(CompareNames, CodePageFollowsTheEnvironment) {
    constexpr struct {
        const char* locale;
        UINT codePage;
    } rows[] = {
        {"ja_JP.SJIS", 932},
        {"zh_CN.GBK", 936},
        {"ko_KR.EUC-KR", 949},
        {"zh_TW.BIG5", 950},
        {"ko_KR.JOHAB", 1361},
        {"C.UTF-8", 65001},
        {"C", 1252},
        // Locales that are not installed: the name alone says the code set.
        {"xx_XX.Shift_JIS", 932},
        {"xx_XX.sjis", 932},
        {"xx_XX.CP932", 932},
        {"xx_XX.WINDOWS-31J", 932},
        {"xx_XX.gbk", 936},
        {"xx_XX.GB2312", 936},
        {"xx_XX.EUC-CN", 936},
        {"xx_XX.CP936", 936},
        {"xx_XX.euc_kr", 949},
        {"xx_XX.CP949", 949},
        {"xx_XX.UHC", 949},
        {"xx_XX.Big5", 950},
        {"xx_XX.CP950", 950},
        {"xx_XX.JOHAB", 1361},
        {"xx_XX.utf8", 65001},
        {"xx_XX.UTF-8@euro", 65001},
        {"xx_XX.ISO-8859-1", 1252},
        {"xx_XX", 1252},
    };
    for (const auto& row : rows) {
        setenv("LC_ALL", row.locale, 1);
        EXPECT_EQ(GetACP(), row.codePage) << row.locale;
    }
    unsetenv("LC_ALL");
}

} // namespace

namespace {

TEST(CompareNames, GbkFoldsDoubleByteLetters) {
    constexpr Row rows[] = {
        {"\xA3\xC1\xA3\xC2", "\xA3\xE1\xA3\xE2", true}, // fullwidth AB / ab
        {"\xA3\xC1", "\xA3\xE3", false},
        {"Host\xA3", "HOST", true},
        // Small a with macron: its capital is not in the code page, so it
        // cannot be mapped and matches nothing, not even itself.
        {"\xA8\xA1", "\xA8\xA1", false},
        {"\xA8\xA1", "A", false},
        {"\xA8\xA1", "a", false},
        {"\xA8\xA1", "\xA3\xC1", false},
        {"\xA3\xC1", "\xA3\xC1", true},
    };
    ExpectRows("zh_CN.GBK", rows, std::size(rows));
}

// At both ends of every lead-byte range, a lead byte takes the next byte with
// it, so trail bytes that differ only in ASCII case make different characters;
// just outside a range, the same bytes are a single byte and a folded letter.
TEST(CompareNames, LeadByteRangesEndWhereTheCodePageSays) {
    constexpr struct {
        const char* locale;
        unsigned char ranges[6];
    } pages[] = {
        {"ja_JP.SJIS", {0x81, 0x9F, 0xE0, 0xFC}},
        {"zh_CN.GBK", {0x81, 0xFE}},
        {"ko_KR.CP949", {0x81, 0xFE}},
        {"zh_TW.BIG5", {0x81, 0xFE}},
        {"ko_KR.JOHAB", {0x84, 0xD3, 0xD8, 0xDE, 0xE0, 0xF9}},
    };
    for (const auto& page : pages) {
        setenv("LC_ALL", page.locale, 1);
        for (int i = 0; i < 6 && page.ranges[i] != 0; i += 2) {
            const int lo = page.ranges[i];
            const int hi = page.ranges[i + 1];
            for (const int lead : {lo, hi}) {
                const std::string upper = {static_cast<char>(lead), 'A'};
                const std::string lower = {static_cast<char>(lead), 'a'};
                EXPECT_NE(CompareNames(upper.c_str(), lower.c_str()), 0) << page.locale << " lead " << lead;
                EXPECT_NE(CompareNames(lower.c_str(), upper.c_str()), 0) << page.locale << " lead " << lead;
            }
            for (const int outside : {lo - 1, hi + 1}) {
                const std::string upper = {static_cast<char>(outside), 'A'};
                const std::string lower = {static_cast<char>(outside), 'a'};
                EXPECT_EQ(CompareNames(upper.c_str(), lower.c_str()), 0)
                    << page.locale << " byte " << outside;
                EXPECT_EQ(CompareNames(lower.c_str(), upper.c_str()), 0)
                    << page.locale << " byte " << outside;
            }
        }
    }
    unsetenv("LC_ALL");
}

} // namespace
