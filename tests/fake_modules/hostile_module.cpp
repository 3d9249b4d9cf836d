// A module file whose loading turns on the process that loads it, as GRINDLET_HOSTILE says:
// "exit" ends it with status 0, "close" closes its standard streams, "fork" leaves three
// sleeping processes behind (one in a session of its own) that hold every descriptor. The
// loading process records each in the file GRINDLET_HOSTILE_PIDS names ("group PID" or
// "session PID") before it goes on, so every process started is on record whenever the
// checker ends them.
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
                const pid_t child = fork();
                if (child == 0) {
                    if (i == 2) setsid();
                    sleep(60);
                    _exit(0);
                }
                if (const char* pids = std::getenv("GRINDLET_HOSTILE_PIDS")) {
                    if (std::FILE* file = std::fopen(pids, "a")) {
                        std::fprintf(file, "%s %d\n", i == 2 ? "session" : "group",
                                     static_cast<int>(child));
                        std::fclose(file);
                    }
                }
            }
        }
    }
} hostile;
}  // namespace
