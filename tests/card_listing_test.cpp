// The PC's listings as velmora-card reads them: a partitioned card as lsblk
// lists it (this machine's kernel scans no partition tables, so no loop
// device shows one), and mountinfo's escapes.
#include "card_device.h"

#include <gtest/gtest.h>

TEST(CardListing, PartitionsOfADevice) {
    const char* card = "NAME=\"/dev/sdb\" TYPE=\"disk\"\n"
                       "NAME=\"/dev/sdb1\" TYPE=\"part\"\n"
                       "NAME=\"/dev/sdb2\" TYPE=\"part\"\n";
    EXPECT_EQ(CardPartitions(card, "/dev/sdb"), (std::vector<std::string>{"/dev/sdb1", "/dev/sdb2"}));
    // A file system on the whole device, and one partition named.
    EXPECT_EQ(CardPartitions("NAME=\"/dev/loop0\" TYPE=\"loop\"\n", "/dev/loop0"),
              std::vector<std::string>{"/dev/loop0"});
    EXPECT_EQ(CardPartitions("NAME=\"/dev/sdb2\" TYPE=\"part\"\n", "/dev/sdb2"),
              std::vector<std::string>{"/dev/sdb2"});
    std::string label;
    ReadPairs("ID_FS_TYPE=exfat\nID_FS_LABEL_ENC=a\\x20\\x22b\n",
              [&label](const std::string& key, const std::string& value) {
                  label = key == "ID_FS_LABEL_ENC" ? value : label;
              });
    EXPECT_EQ(label, "a \"b");
}

TEST(CardListing, MountInfoLines) {
    MountEntry entry;
    ASSERT_TRUE(ParseMountInfo(
        "45 27 8:18 / /media/u/MY\\040CARD rw,nosuid shared:5 - fuseblk /dev/sdb2 rw\n", &entry));
    EXPECT_EQ(entry.point, "/media/u/MY CARD");
    EXPECT_EQ(entry.type, "fuseblk");
    EXPECT_EQ(entry.source, "/dev/sdb2");
    EXPECT_FALSE(ParseMountInfo("45 27 8:18 / /x rw\n", &entry));
}
