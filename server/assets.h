// The page and its scripts, built into the program (generated at build time).
#ifndef QOLVEN_SERVER_ASSETS_H
#define QOLVEN_SERVER_ASSETS_H

#include <cstddef>

namespace qolven_server {

struct Asset {
    const char *path;  // "/", "/app.js", "/vendor/uPlot.iife.min.js", ...
    const char *type;  // Content-Type
    const unsigned char *data;
    size_t size;
};

extern const Asset kAssets[];
extern const size_t kAssetCount;

} // namespace qolven_server

#endif
