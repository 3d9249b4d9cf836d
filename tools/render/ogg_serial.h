// An Ogg file's stream serial number, set after the file is written: libsndfile draws it at
// random, so the same render would never give the same bytes twice.
#pragma once

#include <cstdint>

namespace grindlet::render {

// Gives every page of the Ogg file open on fd (read and write) the serial number, with its
// checksum made anew. False with errno set (a read or write failed), or EINVAL where the bytes
// are not Ogg pages.
bool setOggSerial(int fd, uint32_t serial);

}  // namespace grindlet::render
