#include "board.h"

#include <qolven.h>

#include <algorithm>

namespace qolven_publish {

namespace {

// The serial numbers attached now, listed through a device object of their own.
std::vector<std::string> attached() {
    std::unique_ptr<qolven_device, void (*)(qolven_device *)> d(qolven_create(), qolven_destroy);
    if (!d) throw StartFailure(QOLVEN_INTERNAL, "out of memory");
    int count = 0;
    int rc = qolven_device_count(d.get(), &count);
    if (rc != QOLVEN_OK) throw StartFailure(rc, std::string("list the devices: ") + qolven_error_text(d.get()));
    std::vector<std::string> serials;
    for (int i = 0; i < count; ++i) {
        char serial[256] = "";
        rc = qolven_device_serial(d.get(), i, serial, sizeof serial);
        if (rc != QOLVEN_OK) throw StartFailure(rc, std::string("list the devices: ") + qolven_error_text(d.get()));
        serials.push_back(serial);
    }
    return serials;
}

} // namespace

Fleet::Fleet(Settings settings, Log &log) : settings_(std::move(settings)), log_(log) {}

Fleet::~Fleet() { stop(0); }

void Fleet::start() {
    checkSettings(settings_);
    std::vector<std::string> serials = settings_.serials;
    if (settings_.all) {
        serials = attached();
        if (serials.empty()) throw StartFailure(QOLVEN_NO_DEVICE, "--all: no device attached");
    }
    if (serials.empty()) serials.push_back("");  // the only one attached
    for (size_t i = 0; i < serials.size(); ++i)
        if (std::find(serials.begin(), serials.begin() + i, serials[i]) != serials.begin() + i)
            throw SettingsError("serial " + serials[i] + " is named twice");
    try {
        for (const std::string &serial : serials) {
            boards_.emplace_back(new BoardPublisher(settings_, log_));
            boards_.back()->open(serial);
        }
        for (auto &board : boards_) board->connect();
    } catch (...) {
        boards_.clear();
        throw;
    }
    for (auto &board : boards_) board->start();
}

void Fleet::stop(int flushMs) {
    for (auto &board : boards_) board->requestStop(flushMs);
    for (auto &board : boards_) board->join();
}

std::vector<std::string> Fleet::serials() const {
    std::vector<std::string> list;
    for (const auto &board : boards_) list.push_back(board->serial());
    return list;
}

std::vector<BoardSummary> Fleet::summaries() const {
    std::vector<BoardSummary> list;
    for (const auto &board : boards_) list.push_back(board->summary());
    return list;
}

} // namespace qolven_publish
