/* Test helper run under Wine: seeds and reads the name values in Wine's own
 * registry for the black-box suite. Commands come on standard input, one a
 * line, fields separated by tabs:
 *   reset KEY...             remove SYSTEM\ControlSet001, then create the keys
 *   put KEY NAME TYPE HEX    set a value to raw bytes (the key must exist)
 *   dump KEY                 "key KEY" then "NAME<tab>TYPE<tab>HEX" per value,
 *                            or "nokey KEY"
 * Every failure ends the helper with status 2. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

static void Fail(const char* what, const char* detail) {
    fprintf(stderr, "regvalue: %s: %s\n", what, detail);
    exit(2);
}

static int HexDigit(char c) {
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

static void Put(char* key, char* name, char* type, char* hex) {
    BYTE data[1024];
    DWORD size = 0;
    HKEY handle;
    for (; hex[0] && hex[1] && size < sizeof data; hex += 2) {
        if (HexDigit(hex[0]) < 0 || HexDigit(hex[1]) < 0) {
            Fail("bad hex", hex);
        }
        data[size++] = (BYTE)(HexDigit(hex[0]) * 16 + HexDigit(hex[1]));
    }
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_SET_VALUE, &handle) != 0) {
        Fail("open", key);
    }
    if (RegSetValueExA(handle, name, 0, (DWORD)atoi(type), data, size) != 0) {
        Fail("set", name);
    }
    RegCloseKey(handle);
}

static void Dump(const char* key) {
    HKEY handle;
    char name[256];
    BYTE data[1024];
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_QUERY_VALUE, &handle) != 0) {
        printf("nokey %s\n", key);
        return;
    }
    printf("key %s\n", key);
    for (DWORD index = 0;; ++index) {
        DWORD nameSize = sizeof name, size = sizeof data, type = 0;
        LONG result = RegEnumValueA(handle, index, name, &nameSize, NULL, &type, data, &size);
        if (result == ERROR_NO_MORE_ITEMS) {
            break;
        }
        if (result != 0) {
            Fail("enum", key);
        }
        printf("%s\t%lu\t", name, (unsigned long)type);
        for (DWORD i = 0; i < size; ++i) {
            printf("%02x", data[i]);
        }
        printf("\n");
    }
    RegCloseKey(handle);
}

int main(void) {
    char line[4096];
    while (fgets(line, sizeof line, stdin)) {
        char* fields[8] = {0};
        int count = 0;
        line[strcspn(line, "\r\n")] = '\0';
        for (char* field = strtok(line, "\t"); field && count < 8; field = strtok(NULL, "\t")) {
            fields[count++] = field;
        }
        if (count == 0) {
            continue;
        }
        if (strcmp(fields[0], "reset") == 0) {
            LONG result = RegDeleteTreeA(HKEY_LOCAL_MACHINE, "SYSTEM\\ControlSet001");
            if (result != 0 && result != ERROR_FILE_NOT_FOUND) {
                Fail("delete", "SYSTEM\\ControlSet001");
            }
            for (int i = 1; i < count; ++i) {
                HKEY handle;
                if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, fields[i], 0, NULL, 0, KEY_ALL_ACCESS, NULL, &handle,
                                    NULL)) {
                    Fail("create", fields[i]);
                }
                RegCloseKey(handle);
            }
        } else if (strcmp(fields[0], "put") == 0 && count >= 4) {
            Put(fields[1], fields[2], fields[3], count > 4 ? fields[4] : (char*)"");
        } else if (strcmp(fields[0], "dump") == 0 && count == 2) {
            Dump(fields[1]);
        } else {
            Fail("unknown command", fields[0]);
        }
    }
    return 0;
}
