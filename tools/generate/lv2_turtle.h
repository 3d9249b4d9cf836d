// The LV2 bundle's Turtle files, written from the table of controls and the presets.
#pragma once

#include <string>

namespace grindlet::generate {

// Fills lv2/'s templates in `source` into `bundle`: qz-grindlet.ttl, manifest.ttl, presets.ttl;
// with a UI library's file name, the manifest gives both plugins its window.
bool writeLv2Turtle(const std::string& source, const std::string& bundle,
                    const std::string& minorVersion, const std::string& microVersion,
                    const std::string& libraryFileName, const std::string& uiLibraryFileName);

}  // namespace grindlet::generate
