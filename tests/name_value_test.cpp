// Reading and writing one name value against the in-memory registry.
#include "isolated_run.h"
#include "name_store.h"
#include "registry_double.h"

#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <string>

namespace {

constexpr const char* Tcpip = NameKeys[TcpipKey].path;

class NameValueTest : public testing::Test {
  protected:
    void SetUp() override {
        ResetRegistry();
        AddKey(Tcpip);
    }

    // Reads Hostname in a child; the copy's bytes up to its terminator come
    // back on standard output.
    RunResult Query() {
        return RunIsolated([] {
            HKEY key = OpenDoubleKey(Tcpip);
            char* copy = QueryNameValue(key, "Hostname", "Host Name 1");
            fputs(copy, stdout);
            free(copy);
        });
    }

    void PutHostname(DWORD type, const std::string& data) {
        PutValue(Tcpip, "Hostname", type, data.data(), static_cast<DWORD>(data.size()));
    }
};

TEST_F(NameValueTest, ReadsAStoredNameUnchanged) {
    PutName(Tcpip, "Hostname", "Galileo 01.x");
    const RunResult result = Query();
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "Galileo 01.x");
    EXPECT_EQ(result.err, "");
}

TEST_F(NameValueTest, RefusesMissingFailingAndWrongTypedValues) {
    RunResult result = Query();
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "Host Name 1 : Registry Query Error.\n");

    PutName(Tcpip, "Hostname", "GALILEO");
    FailCall(RegistryCall::Query, Tcpip, "Hostname");
    result = Query();
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "Host Name 1 : Registry Query Error.\n");

    FailCall(RegistryCall::None, "");
    PutHostname(REG_EXPAND_SZ, std::string("GALILEO", 8));
    result = Query();
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "Host Name 1 : Type Mismatch Error.\n");

    // A wrong type that also fills the buffer reports only the type.
    PutHostname(REG_MULTI_SZ, std::string(199, 'm') + '\0');
    result = Query();
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "Host Name 1 : Type Mismatch Error.\n");
}

TEST_F(NameValueTest, BufferSizeBoundaries) {
    PutHostname(REG_SZ, std::string(198, 'a') + '\0');
    RunResult result = Query();
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, std::string(198, 'a'));
    EXPECT_EQ(result.err, "");

    // 200 bytes fill the buffer: a warning, and the value is still used.
    PutHostname(REG_SZ, std::string(199, 'b') + '\0');
    result = Query();
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, std::string(199, 'b'));
    EXPECT_EQ(result.err, "Host Name 1 : Unsupported Length.\n");

    PutHostname(REG_SZ, std::string(200, 'c') + '\0');
    result = Query();
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "Host Name 1 : Registry Query Error.\n");
}

TEST_F(NameValueTest, DataWithoutTerminatorGetsOne) {
    PutHostname(REG_SZ, "GALI");
    RunResult result = Query();
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "GALI");

    PutHostname(REG_SZ, "");
    result = Query();
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "");

    // A full buffer with no NUL at all: the copy ends right after it.
    PutHostname(REG_SZ, std::string(200, 'z'));
    result = Query();
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, std::string(200, 'z'));
    EXPECT_EQ(result.err, "Host Name 1 : Unsupported Length.\n");
}

TEST_F(NameValueTest, SetStoresTheNameAndItsTerminator) {
    const RunResult result =
        RunIsolated([] { SetNameValue(OpenDoubleKey(Tcpip), "NV Hostname", "New.Name 1", "Host Name 2"); });
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    const DoubleValue* stored = FindValue(Tcpip, "NV Hostname");
    ASSERT_NE(stored, nullptr);
    EXPECT_EQ(stored->type, REG_SZ);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(stored->data), stored->size),
              std::string("New.Name 1", 11));
}

TEST_F(NameValueTest, FailedSetEndsTheRun) {
    FailCall(RegistryCall::Set, Tcpip, "NV Hostname");
    const RunResult result = RunIsolated([] {
        SetNameValue(OpenDoubleKey(Tcpip), "NV Hostname", "NEW", "Host Name 2");
        puts("returned");
    });
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "Host Name 2 : Set New Value Error.\n");
    EXPECT_EQ(FindValue(Tcpip, "NV Hostname"), nullptr);
}

} // namespace
