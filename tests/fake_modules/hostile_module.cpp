// A module file whose loading turns on the process that loads it, as GRINDLET_HOSTILE says:
// "exit" ends it with status 0, "close" closes its standard streams, "fork" leaves three
// sleeping processes behind (one in a session of its own) that hold every descriptor, each
// writing a line to the file GRINDLET_HOSTILE_PIDS names: "group PID" or "session PID".
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "no_module_exports.h"

namespace {
struct Hostile {
    Hostile() {
        const char* mode = std::getenv("GRINDLET_HOSTILE");
        if (mode == nullptr) return;
        if (std::strcmp(mode, "exit") == 0) std::exit(0);
        if (std::strcmp(mode, "close") == 0) {
            for (int fd = 0; fd < 3; ++fd) close(fd);
        }
        if (std::strcmp(mode, "fork") == 0) {
            for (int i = 0; i < 3; ++i) {
                if (fork() != 0) continue;
                if (i == 2) setsid();
                if (const char* pids = std::getenv("GRINDLET_HOSTILE_PIDS")) {
                    if (std::FILE* file = std::fopen(pids, "a")) {
                        std::fprintf(file, "%s %d\n", i == 2 ? "session" : "group",
                                     static_cast<int>(getpid()));
                        std::fclose(file);
                    }
                }
                sleep(60);
                _exit(0);
            }
        }
    }
} hostile;
}  // namespace
