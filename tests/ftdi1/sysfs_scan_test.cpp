// The provider's list from a sysfs tree written by the test: which devices are
// bridges, what each field is read from, who holds an interface.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>

#include <gtest/gtest.h>

#include "sysfs_scan.h"

namespace {

using namespace qolven_ftdi1;

const std::vector<UsbId> kIds = {{0x0403, 0x6001}, {0x0403, 0x6015}};

class SysfsTree : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/qolven-sysfs-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
    }
    void TearDown() override { std::system(("rm -rf " + root_).c_str()); }

    void device(const std::string &path, const std::map<std::string, std::string> &attributes) {
        mkdir((root_ + "/" + path).c_str(), 0755);
        for (const auto &a : attributes) std::ofstream(root_ + "/" + path + "/" + a.first) << a.second << "\n";
    }
    void bridge(const std::string &path, const std::string &product, const std::string &interfaces = " 1") {
        device(path, {{"idVendor", "0403"}, {"idProduct", product}, {"bcdDevice", "0600"}, {"busnum", "3"},
                      {"devnum", "17"}, {"speed", "12"}, {"bNumInterfaces", interfaces}, {"bConfigurationValue", "1"},
                      {"serial", "FT" + path}, {"product", "FT232R USB UART"}});
    }
    void driver(const std::string &interface, const std::string &name) {
        mkdir((root_ + "/" + interface).c_str(), 0755);
        ASSERT_EQ(symlink(("../../../bus/usb/drivers/" + name).c_str(), (root_ + "/" + interface + "/driver").c_str()), 0);
    }
    std::vector<Bridge> scan() {
        std::vector<Bridge> found;
        EXPECT_TRUE(scanSysfs(root_, kIds, &found));
        std::sort(found.begin(), found.end(), [](const Bridge &a, const Bridge &b) { return a.path < b.path; });
        return found;
    }

    std::string root_;
};

TEST_F(SysfsTree, ReadsEveryFieldOfABridge) {
    device("3-4.2", {{"idVendor", "0403"}, {"idProduct", "6015"}, {"bcdDevice", "1000"}, {"busnum", "3"},
                     {"devnum", "105"}, {"speed", "480"}, {"bNumInterfaces", " 1"}, {"serial", "QV0002-LONG-SERIAL"},
                     {"product", "Load cell 4"}});
    std::vector<Bridge> found = scan();
    ASSERT_EQ(found.size(), 1u);
    const Bridge &b = found[0];
    EXPECT_EQ(b.path, "3-4.2");
    EXPECT_EQ(b.vendor, 0x0403);
    EXPECT_EQ(b.product, 0x6015);
    EXPECT_EQ(b.release, 0x1000);
    EXPECT_EQ(b.location, 0x369u);  // bus 3, address 105
    EXPECT_TRUE(b.highSpeed);
    EXPECT_EQ(b.serial, "QV0002-LONG-SERIAL");
    EXPECT_EQ(b.description, "Load cell 4");
    EXPECT_FALSE(b.claimed);
}

TEST_F(SysfsTree, ListsOnlySingleInterfaceBridgesOfTheIdsAsked) {
    bridge("1-1", "6001");
    bridge("1-2", "6010");           // an FT2232: not asked for
    bridge("1-3", "6001", " 2");     // two interfaces
    device("1-4", {{"idVendor", "046d"}, {"idProduct", "c52b"}, {"bNumInterfaces", " 1"}});
    device("1-5", {{"idVendor", "0403"}, {"idProduct", "6001"}});  // half gone: no interfaces yet
    bridge("1-6.1", "6001");
    device("usb1", {{"idVendor", "1d6b"}, {"idProduct", "0002"}});
    device("1-0:1.0", {});
    device("1-1:1.0", {});
    std::vector<Bridge> found = scan();
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].path, "1-1");
    EXPECT_EQ(found[1].path, "1-6.1");
    EXPECT_EQ(found[1].serial, "FT1-6.1");
    EXPECT_EQ(found[1].location, 0x311u);
    EXPECT_FALSE(found[1].highSpeed);
}

TEST_F(SysfsTree, ABridgeWithoutStringsHasEmptyOnes) {
    device("2-1", {{"idVendor", "0403"}, {"idProduct", "6001"}, {"bcdDevice", "0400"}, {"busnum", "2"},
                   {"devnum", "2"}, {"bNumInterfaces", " 1"}});
    std::vector<Bridge> found = scan();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].serial, "");
    EXPECT_EQ(found[0].description, "");
}

TEST_F(SysfsTree, OnlyAProgramHoldingTheInterfaceCountsAsClaimed) {
    const struct {
        const char *driver;
        bool claimed;
    } cases[] = {{"usbfs", true}, {"ftdi_sio", false}, {nullptr, false}};
    int n = 0;
    for (const auto &c : cases) {
        std::string path = "1-" + std::to_string(++n);
        bridge(path, "6001");
        if (c.driver) driver(path + ":1.0", c.driver);
        EXPECT_EQ(claimedInSysfs(root_, path), c.claimed) << (c.driver ? c.driver : "no driver");
    }
    std::vector<Bridge> found = scan();
    ASSERT_EQ(found.size(), 3u);
    EXPECT_TRUE(found[0].claimed);
    EXPECT_FALSE(found[1].claimed);
}

TEST_F(SysfsTree, ListsTheLastTheDirectoryShowsFirst) {
    for (const char *path : {"1-1", "1-2", "1-10", "2-1.3", "1-3"}) bridge(path, "6001");
    std::vector<std::string> listed;
    DIR *dir = opendir(root_.c_str());
    ASSERT_NE(dir, nullptr);
    while (dirent *e = readdir(dir))
        if (e->d_name[0] != '.') listed.insert(listed.begin(), e->d_name);
    closedir(dir);
    std::vector<Bridge> found;
    ASSERT_TRUE(scanSysfs(root_, kIds, &found));
    std::vector<std::string> paths;
    for (const Bridge &b : found) paths.push_back(b.path);
    EXPECT_EQ(paths, listed);
}

TEST_F(SysfsTree, NoTreeNoList) {
    std::vector<Bridge> found(1);
    EXPECT_FALSE(scanSysfs(root_ + "/missing", kIds, &found));
    EXPECT_TRUE(found.empty());
}

} // namespace
