#include "console.h"
#include "name_store.h"

#include <cstdlib>
#include <cstring>

static void ShowNewName(const char* newName) {
    WriteProgress("New Computer Name : %s\n", newName);
    WriteProgress("\nPlease reboot your Galileo Board.\n");
}

void RenameComputer(const char* newName) {
    HKEY keys[KeyCount];
    for (int k = 0; k < KeyCount; ++k) {
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, NameKeys[k].path, 0, KEY_QUERY_VALUE | KEY_SET_VALUE,
                          &keys[k]) != 0) {
            FailWith("%s", NameKeys[k].openFailure);
        }
    }

    char* names[NameValueCount];
    for (const NameValue& value : NameValues) {
        names[value.tag] = QueryNameValue(keys[value.key], value.valueName, value.label);
    }

    // Room for every byte escaped as \xNN.
    char buffers[NameValueCount][4 * ValueBufferSize + 1];
    const char* shown[NameValueCount];
    for (int tag = H1; tag < NameValueCount; ++tag) {
        shown[tag] = ShownName(names[tag], buffers[tag], sizeof buffers[tag]);
    }
    // Every value is checked against H1; nothing has been written yet, so a
    // refusal leaves the registry as it was.
    if (FirstDifferingName(names) != NameValueCount) {
        // "Name Mismatch : H1 = %s, H2 = %s, C1 = %s, C2 = %s\n", from the table.
        char line[32 + NameValueCount * (8 + sizeof buffers[0])] = "Name Mismatch : ";
        for (const NameValue& value : NameValues) {
            strcat(strcat(strcat(strcat(line, value.tag == H1 ? "" : ", "), value.shortTag), " = "),
                   shown[value.tag]);
        }
        FailWith("%s\n", line);
    }

    WriteProgress("Old Computer Name : %s\n", shown[H1]);
    for (const NameValue& value : NameValues) {
        SetNameValue(keys[value.key], value.valueName, newName, value.label);
    }
    if (!SettlesBeforeShowing()) {
        ShowNewName(newName);
    }

    for (int k = 0; k < KeyCount; ++k) {
        if (RegCloseKey(keys[k]) != 0) {
            FailWith("%s", NameKeys[k].closeFailure);
        }
    }
    if (SettlesBeforeShowing()) {
        ShowNewName(newName);
    }
    for (char* name : names) {
        free(name);
    }
}
