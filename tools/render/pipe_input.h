// Audio that comes through a pipe (standard input, a named pipe, <(...)): formats that must
// seek are kept whole in a nameless temporary file first; the rest streams on through a thread.
#pragma once

#include <cstddef>
#include <string>

namespace grindlet::render {

// The bytes that tell a format apart, read before a pipe is kept or streamed.
constexpr size_t MAGIC_BYTES = 4;

// Reads up to `size` bytes, through interruptions and short reads; the count read.
size_t readFully(int fd, char* buffer, size_t size);

// Whether fd can seek (a file, not a pipe or a terminal).
bool seekable(int fd);

// Formats libsndfile reads wrongly, or not at all, from a stream, by their first bytes.
bool needsSeeking(const std::string& magic);

// A nameless file in the temporary folder holding `prefix` and the rest of fd, positioned at its
// start: it disappears with its descriptor, whatever ends the program. -1 with the reason.
int spool(int fd, const std::string& prefix, std::string& error);

// A pipe that gives `prefix` and then the rest of fd, fed by a thread: libsndfile then reads a
// stream it has seen from its first byte. -1 with the reason.
int replay(int fd, const std::string& prefix, std::string& error);

}  // namespace grindlet::render
