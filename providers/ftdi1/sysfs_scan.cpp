#include "sysfs_scan.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>

namespace qolven_ftdi1 {
namespace {

// The first line of an attribute file, or false when there is none.
bool attribute(const std::string &dir, const char *name, std::string *value) {
    std::ifstream in(dir + "/" + name);
    if (!in) return false;
    std::getline(in, *value);
    return true;
}

bool number(const std::string &dir, const char *name, int base, unsigned long *value) {
    std::string text;
    if (!attribute(dir, name, &text)) return false;
    const char *start = text.c_str();
    while (*start == ' ') ++start;
    char *end = nullptr;
    *value = std::strtoul(start, &end, base);
    return end != start && (*end == 0 || *end == ' ');
}

// A device's directory name: bus, '-', port chain ("1-2.3"); root hubs
// ("usb1") and interfaces ("1-2:1.0") are not devices behind a port.
bool isDevicePath(const char *name) {
    if (!std::isdigit(static_cast<unsigned char>(name[0])) || std::strchr(name, ':')) return false;
    const char *dash = std::strchr(name, '-');
    return dash && dash[1] && std::strcmp(dash + 1, "0") != 0;
}

} // namespace

bool scanSysfs(const std::string &root, const std::vector<UsbId> &ids, std::vector<Bridge> *found) {
    found->clear();
    std::unique_ptr<DIR, int (*)(DIR *)> dir(opendir(root.c_str()), closedir);
    if (!dir) return false;
    while (dirent *entry = readdir(dir.get())) {
        if (!isDevicePath(entry->d_name)) continue;
        const std::string path = entry->d_name;
        const std::string device = root + "/" + path;
        unsigned long vendor, product, release, bus, address, interfaces, speed = 12;
        if (!number(device, "idVendor", 16, &vendor) || !number(device, "idProduct", 16, &product)) continue;
        if (std::none_of(ids.begin(), ids.end(),
                         [&](const UsbId &id) { return id.vendor == vendor && id.product == product; }))
            continue;
        if (!number(device, "bNumInterfaces", 10, &interfaces) || interfaces != 1) continue;
        if (!number(device, "bcdDevice", 16, &release) || !number(device, "busnum", 10, &bus) ||
            !number(device, "devnum", 10, &address))
            continue;
        number(device, "speed", 10, &speed);
        Bridge b;
        b.vendor = static_cast<uint16_t>(vendor);
        b.product = static_cast<uint16_t>(product);
        b.release = static_cast<uint16_t>(release);
        b.path = path;
        // D2XX's location on Linux: the bus number times 256 plus the device's
        // address, which changes with every plug-in.
        b.location = static_cast<uint32_t>((bus << 8) | (address & 0xFF));
        b.highSpeed = speed >= 480;
        b.claimed = claimedInSysfs(root, path);
        attribute(device, "serial", &b.serial);
        attribute(device, "product", &b.description);
        found->push_back(b);
    }
    // FTDI's library puts each device it reads before those read earlier.
    std::reverse(found->begin(), found->end());
    return true;
}

bool claimedInSysfs(const std::string &root, const std::string &path) {
    std::string config;
    if (!attribute(root + "/" + path, "bConfigurationValue", &config) || config.empty()) return false;
    std::string link = root + "/" + path + ":" + config + ".0/driver";
    char target[256];
    ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0) return false;
    target[n] = 0;
    const char *slash = std::strrchr(target, '/');
    return std::strcmp(slash ? slash + 1 : target, "usbfs") == 0;
}

} // namespace qolven_ftdi1
