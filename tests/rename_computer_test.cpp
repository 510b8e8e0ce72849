// The whole rename procedure against the in-memory registry.
#include "isolated_run.h"
#include "name_store.h"
#include "registry_double.h"

#include <gtest/gtest.h>
#include <string>

namespace {

constexpr const char* Tcpip = NameKeys[TcpipKey].path;
constexpr const char* Computer = NameKeys[ComputerNameKey].path;
constexpr const char* Active = NameKeys[ActiveComputerNameKey].path;

std::string Stored(const NameValue& value) {
    const DoubleValue* stored = FindValue(NameKeys[value.key].path, value.valueName);
    return stored == nullptr ? "<missing>"
                             : std::string(reinterpret_cast<const char*>(stored->data), stored->size);
}

class RenameComputerTest : public testing::Test {
  protected:
    void SetUp() override {
        ResetRegistry();
        AddKey(Tcpip);
        AddKey(Computer);
        AddKey(Active);
        Seed("GALILEO", "galileo", "Galileo", "GALILEO");
    }

    static void Seed(const char* h1, const char* h2, const char* c1, const char* c2) {
        const char* names[] = {h1, h2, c1, c2};
        for (const NameValue& value : NameValues) {
            PutName(NameKeys[value.key].path, value.valueName, names[value.tag]);
        }
    }

    static RunResult Rename(const char* newName) {
        return RunIsolated([newName] { RenameComputer(newName); });
    }

    static void ExpectAll(const std::string& h1, const std::string& h2, const std::string& c1,
                          const std::string& c2) {
        EXPECT_EQ(Stored(NameValues[H1]), h1 + '\0');
        EXPECT_EQ(Stored(NameValues[H2]), h2 + '\0');
        EXPECT_EQ(Stored(NameValues[C1]), c1 + '\0');
        EXPECT_EQ(Stored(NameValues[C2]), c2 + '\0');
    }
};

constexpr char Reported[] = "Old Computer Name : GALILEO\n"
                            "New Computer Name : Board-2\n"
                            "\n"
                            "Please reboot your Galileo Board.\n";

TEST_F(RenameComputerTest, CaseOnlyDifferencesAgreeAndAllFourAreRewritten) {
    const RunResult result = Rename("Board-2");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, Reported);
    EXPECT_EQ(result.err, "");
    ExpectAll("Board-2", "Board-2", "Board-2", "Board-2");
}

TEST_F(RenameComputerTest, FailedWriteOfC1LeavesEarlierValuesNew) {
    FailCall(RegistryCall::Set, Computer, "ComputerName");
    const RunResult result = Rename("Board-2");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "Old Computer Name : GALILEO\n");
    EXPECT_EQ(result.err, "Computer Name 1 : Set New Value Error.\n");
    ExpectAll("Board-2", "Board-2", "Galileo", "GALILEO");

    // The next run refuses the now inconsistent values.
    FailCall(RegistryCall::None, "");
    const RunResult next = Rename("Board-3");
    EXPECT_EQ(next.status, 1);
    EXPECT_EQ(next.out, "");
    EXPECT_EQ(next.err, "Name Mismatch : H1 = Board-2, H2 = Board-2, C1 = Galileo, C2 = GALILEO\n");
}

TEST_F(RenameComputerTest, FailedCloseComesAfterEveryValueIsNew) {
    FailCall(RegistryCall::Close, Computer);
    const RunResult result = Rename("Board-2");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, Reported);
    EXPECT_EQ(result.err, "Computer Name 1 : Registry Close Error.\n");
    ExpectAll("Board-2", "Board-2", "Board-2", "Board-2");

    FailCall(RegistryCall::Close, Tcpip);
    EXPECT_EQ(Rename("Board-2").err, "Host Name : Registry Close Error.\n");
    FailCall(RegistryCall::Close, Active);
    EXPECT_EQ(Rename("Board-2").err, "Computer Name 2 : Registry Close Error.\n");
}

TEST_F(RenameComputerTest, MismatchWritesNothing) {
    // Each value in turn differs from the other three in more than case.
    for (int differing = H1; differing < NameValueCount; ++differing) {
        const char* names[] = {"GALILEO", "galileo", "Galileo", "GALILEO"};
        names[differing] = "GALILEO2";
        Seed(names[0], names[1], names[2], names[3]);
        const RunResult result = Rename("Board-2");
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, std::string("Name Mismatch : H1 = ") + names[0] + ", H2 = " + names[1] +
                                  ", C1 = " + names[2] + ", C2 = " + names[3] + "\n");
        ExpectAll(names[0], names[1], names[2], names[3]);
    }
}

TEST_F(RenameComputerTest, OpenFailuresNameTheirKey) {
    FailCall(RegistryCall::Open, Tcpip);
    RunResult result = Rename("Board-2");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "Host Name : Registry Open Error.\n");
    FailCall(RegistryCall::Open, Computer);
    EXPECT_EQ(Rename("Board-2").err, "Computer Name : Registry Open Error.\n");
    FailCall(RegistryCall::Open, Active);
    result = Rename("Board-2");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "Computer Name : Registry Open Error.\n");
    ExpectAll("GALILEO", "galileo", "Galileo", "GALILEO");
}

TEST_F(RenameComputerTest, AQueryFailureStopsBeforeTheCheck) {
    FailCall(RegistryCall::Query, Active, "ComputerName");
    const RunResult result = Rename("Board-2");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "Computer Name 2 : Registry Query Error.\n");
}

} // namespace
