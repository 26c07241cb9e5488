// The front of a handheld display -- its page of four lines and its keys --
// and the raw register pages, for every front end alike.
#include <cstring>

#include "acquisition/device.h"
#include "board/board_types.h"
#include "core/internal.h"

using namespace qolven_acquisition;

namespace {

namespace bt = _QOLVEN_USB_DLL::detail;

struct Key {
    const char *name, *alias, *method;
    std::string (Device::*press)(void *);
};
#define QOLVEN_KEY(name, alias, method) {name, alias, #method, &Device::method}
const Key kKeys[] = {
    QOLVEN_KEY("enter", "battery", Change_Battery_Enter), QOLVEN_KEY("tare", "up", Change_Tare_Up),
    QOLVEN_KEY("display", "back", Change_Display_Back),   QOLVEN_KEY("reset", "left", Change_Reset_Left),
    QOLVEN_KEY("menu", "menu", Change_Menu),              QOLVEN_KEY("unit", "right", Change_Unit_Right),
    QOLVEN_KEY("shunt", "exit", Change_Shunt_Exit),       QOLVEN_KEY("hold", "down", Change_Hold_Down),
};
#undef QOLVEN_KEY
constexpr int kKeyCount = int(sizeof kKeys / sizeof kKeys[0]);

const Key *key(int index) { return index >= 0 && index < kKeyCount ? &kKeys[index] : nullptr; }

// Only the handheld displays have a page of lines and keys to press.
int requireDisplay(qolven_device *d, const char *what) {
    Device &o = *d->object;
    o.Get_Version_of_Board(d->handle());
    if (o.boardTypeText == "Error") return libraryFailure(d);
    if (bt::serves(o.boardType, bt::kKeys)) return QOLVEN_OK;
    return refuse(d, QOLVEN_BOARD_TYPE, "board type " + std::to_string(o.boardType) + " (" +
                                            bt::classMeaning(bt::boardTypeRow(o.boardType).boardClass) + ") has no " +
                                            what);
}

} // namespace

extern "C" {

int qolven_key_count(void) { return kKeyCount; }
const char *qolven_key_name(int index) { return key(index) ? key(index)->name : nullptr; }
const char *qolven_key_alias(int index) { return key(index) ? key(index)->alias : nullptr; }
const char *qolven_key_method(int index) { return key(index) ? key(index)->method : nullptr; }

int qolven_press_key(qolven_device *d, const char *name) {
    if (!d) return QOLVEN_INVALID_ARGUMENT;
    return guarded(d, [&]() -> int {
        begin(d);
        const Key *found = nullptr;
        for (const Key &k : kKeys)
            if (name && (std::strcmp(name, k.name) == 0 || std::strcmp(name, k.alias) == 0)) found = &k;
        if (!found) {
            std::string names;
            for (const Key &k : kKeys) names += (names.empty() ? "" : ", ") + std::string(k.name);
            return refuse(d, QOLVEN_UNKNOWN_NAME, "unknown key \"" + std::string(name ? name : "") + "\" (" + names + ")");
        }
        if (!requireOpen(d)) return QOLVEN_NOT_OPEN;
        int status = requireDisplay(d, "front-panel keys");
        if (status != QOLVEN_OK) return status;
        if ((d->object->*found->press)(d->handle()) == "Error") return libraryFailure(d);
        boardChanged(d);
        return QOLVEN_OK;
    });
}

int qolven_read_display(qolven_device *d, char lines[QOLVEN_DISPLAY_LINES][QOLVEN_DISPLAY_LINE_LENGTH + 1]) {
    if (!d || !lines) return QOLVEN_INVALID_ARGUMENT;
    return guarded(d, [&]() -> int {
        begin(d);
        if (!requireOpen(d)) return QOLVEN_NOT_OPEN;
        int status = requireDisplay(d, "display");
        if (status != QOLVEN_OK) return status;
        Device &o = *d->object;
        if (o.Get_Display_Page(d->handle()) == "Error") return libraryFailure(d);
        const std::string *text[] = {&o.displayLine1, &o.displayLine2, &o.displayLine3, &o.displayLine4};
        for (int i = 0; i < QOLVEN_DISPLAY_LINES; ++i) {
            std::memset(lines[i], ' ', QOLVEN_DISPLAY_LINE_LENGTH);
            std::memcpy(lines[i], text[i]->data(), std::min<size_t>(text[i]->size(), QOLVEN_DISPLAY_LINE_LENGTH));
            lines[i][QOLVEN_DISPLAY_LINE_LENGTH] = 0;
        }
        return QOLVEN_OK;
    });
}

int qolven_read_page(qolven_device *d, int page, unsigned char bytes[QOLVEN_PAGE_BYTES]) {
    if (!d || !bytes) return QOLVEN_INVALID_ARGUMENT;
    return guarded(d, [&]() -> int {
        begin(d);
        if (page < 0 || page > 255)
            return refuse(d, QOLVEN_INVALID_ARGUMENT, "page " + std::to_string(page) + " is outside 0..255");
        if (!requireOpen(d)) return QOLVEN_NOT_OPEN;
        Device &o = *d->object;
        if (o.Read_Page_Register(d->handle(), static_cast<unsigned char>(page)) == "Error") return libraryFailure(d);
        std::memcpy(bytes, o.adapter.readBuffer + _QOLVEN_USB_DLL::detail::answerData(o), QOLVEN_PAGE_BYTES);
        return QOLVEN_OK;
    });
}

} // extern "C"
