/*
 * The console's page: its HTML, JavaScript and CSS files, compiled into
 * rfidctl at build time (console_assets.cpp is generated from the files in
 * tools/rfidctl/console/ by embed.cmake).
 */
#pragma once

#include <cstddef>

struct ConsoleAsset {
    const char *path; // as requested: "/", "/console.js", "/console.css"
    const char *type; // Content-Type
    const unsigned char *data;
    size_t size;
};

extern const ConsoleAsset CONSOLE_ASSETS[];
extern const size_t CONSOLE_ASSET_COUNT;
