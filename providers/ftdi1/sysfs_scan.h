// The bridges as the kernel shows them under /sys/bus/usb/devices: what FTDI's
// library reads too, in the same order, without opening any device.
#ifndef QOLVEN_FTDI1_SYSFS_SCAN_H
#define QOLVEN_FTDI1_SYSFS_SCAN_H

#include <string>
#include <vector>

#include "usb.h"

namespace qolven_ftdi1 {

constexpr char kSysfsDevices[] = "/sys/bus/usb/devices";

// The single-interface devices with one of `ids` under `root`, the last the
// directory lists first.  False when `root` cannot be read.
bool scanSysfs(const std::string &root, const std::vector<UsbId> &ids, std::vector<Bridge> *found);

// Whether a program holds the device's first interface (its driver is usbfs).
bool claimedInSysfs(const std::string &root, const std::string &path);

} // namespace qolven_ftdi1

#endif
