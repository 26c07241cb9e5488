// What the HTTP API asks of one device.  The request's fields are checked
// here, before anything reaches the device thread (a refusal throws
// BadRequest); the work itself runs on the device's thread, through the
// acquisition layer only.
#ifndef QOLVEN_SERVER_DEVICE_JOBS_H
#define QOLVEN_SERVER_DEVICE_JOBS_H

#include "device_worker.h"

#include <optional>
#include <string>

namespace qolven_server {

constexpr int kMaxChannel = 3;

Reply identity(DeviceWorker &w);
Reply reading(DeviceWorker &w, int channel);
Reply average(DeviceWorker &w, const Json &body);
Reply settingsList(DeviceWorker &w, int channel);
// `point`: for indexed settings, which must be given one.
Reply settingRead(DeviceWorker &w, const std::string &name, int channel, std::optional<long long> point);
Reply settingWrite(DeviceWorker &w, const std::string &name, const Json &body);
Reply calibrationRead(DeviceWorker &w, int channel);
Reply calibrationWrite(DeviceWorker &w, const Json &body);
Reply streamSettings(DeviceWorker &w, const Json &body);
Reply copyPage(DeviceWorker &w, const Json &body, bool backup);
Reply reset(DeviceWorker &w);
Reply display(DeviceWorker &w);
Reply key(DeviceWorker &w, const std::string &name);
// Host-side tare of a channel, at the present reading or at a given count.
Reply setTare(DeviceWorker &w, const Json &body);
Reply clearTare(DeviceWorker &w, int channel);

// Latin-1 (the display's bytes) as UTF-8.
std::string latin1ToUtf8(const std::string &text);

} // namespace qolven_server

#endif
