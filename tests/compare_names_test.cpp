// CompareNames against the host's code-page services, one table per code page.
#include "name_store.h"

#include <cstdlib>
#include <gtest/gtest.h>

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
    } rows[] = {{"ja_JP.SJIS", 932}, {"zh_CN.GBK", 936},    {"ko_KR.EUC-KR", 949},
                {"zh_TW.BIG5", 950}, {"ko_KR.JOHAB", 1361}, {"C.UTF-8", 65001},
                {"C", 1252}};
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
    };
    ExpectRows("zh_CN.GBK", rows, std::size(rows));
}

} // namespace
