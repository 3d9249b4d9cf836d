// Audio read a chunk at a time through libsndfile: a regular file through a large window, a
// pipe spooled or streamed, or bytes in memory.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "audio_files.h"
#include "pipe_input.h"
#include "wav_scan.h"

namespace grindlet::render {

// What libsndfile reads through us, bytes in memory or a regular file: their length and its
// position in them.
struct ReadIo {
    static AudioInput& of(void* user) { return *static_cast<AudioInput*>(user); }
    static sf_count_t length(void* user) { return of(user).readSize; }
    static sf_count_t seek(sf_count_t offset, int whence, void* user) {
        AudioInput& in = of(user);
        const sf_count_t base = whence == SEEK_CUR   ? in.readAt
                                : whence == SEEK_END ? in.readSize
                                                     : 0;
        if (offset > in.readSize - base || base + offset < 0) return -1;
        in.readAt = base + offset;
        return in.readAt;
    }
    static sf_count_t write(const void*, sf_count_t, void*) { return 0; }
    static sf_count_t tell(void* user) { return of(user).readAt; }
};

struct MemoryIo : ReadIo {
    static sf_count_t read(void* destination, sf_count_t count, void* user) {
        AudioInput& in = of(user);
        const sf_count_t n = std::max<sf_count_t>(0, std::min(count, in.readSize - in.readAt));
        std::memcpy(destination, in.memory + in.readAt, static_cast<size_t>(n));
        in.readAt += n;
        return n;
    }
};

// A regular file, read a window of WINDOW_BYTES at a time: a system call per 8 KB that
// libsndfile asks for costs more than the copy.
struct FileIo : ReadIo {
    static constexpr size_t WINDOW_BYTES = 128 << 10;
    static sf_count_t read(void* destination, sf_count_t count, void* user) {
        AudioInput& in = of(user);
        char* to = static_cast<char*>(destination);
        sf_count_t done = 0;
        while (done < count) {
            const sf_count_t inWindow = in.readAt - in.windowStart;
            if (inWindow >= 0 && inWindow < static_cast<sf_count_t>(in.windowLength)) {
                const auto n = static_cast<size_t>(std::min<sf_count_t>(
                    count - done, static_cast<sf_count_t>(in.windowLength) - inWindow));
                std::memcpy(to + done, in.window.data() + inWindow, n);
                done += static_cast<sf_count_t>(n);
                in.readAt += static_cast<sf_count_t>(n);
                continue;
            }
            const bool large = count - done >= static_cast<sf_count_t>(WINDOW_BYTES);
            char* into = large ? to + done : in.window.data();
            const size_t want = large ? static_cast<size_t>(count - done) : WINDOW_BYTES;
            const ssize_t n = pread(in.fileFd, into, want, in.readAt);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && in.fileError == 0) in.fileError = errno;
            if (n <= 0) break;
            if (large) {
                done += n;
                in.readAt += n;
            } else {
                in.windowStart = in.readAt;
                in.windowLength = static_cast<size_t>(n);
            }
        }
        return done;
    }
};

std::unique_ptr<AudioInput> AudioInput::open(const std::string& path, bool wholeLength,
                                             std::string& error) {
    std::unique_ptr<AudioInput> input(new AudioInput());
    if (path == "-" && isatty(STDIN_FILENO)) {
        // Nothing would come until the user typed audio: say how standard input is meant.
        error =
            "standard input is a terminal: pipe audio in (for instance sox in.mp3 -t wav - "
            "| grindlet-render - -o out.wav)";
        return nullptr;
    }
    const std::string name = path == "-" ? "standard input" : path;
    if (path == "-") {
        if (!input->openStream(STDIN_FILENO, wholeLength, error)) return nullptr;
    } else if (!input->openFile(path, wholeLength, error)) {
        return nullptr;
    }
    if (input->file == nullptr) {
        error = "cannot read " + name + ": " + sf_strerror(nullptr);
        return nullptr;
    }
    if (!input->check(name, error)) return nullptr;
    // A streamed header's length is what its writer put there, often a placeholder (sox writes
    // 0x7FFFF000 bytes): not a length at all.
    if (input->piped) input->declared = -1;
    if (input->fileFd >= 0) input->stated = truncatedWavFrames(path);
    return input;
}

bool AudioInput::openStream(int fd, bool wholeLength, std::string& error) {
    if (seekable(fd)) {  // standard input redirected from a file
        file = sf_open_fd(fd, SFM_READ, &info, SF_FALSE);
        return true;
    }
    // A pipe: what a format needs to seek in, or a length asked for, is kept in a file whose
    // length is then known; the rest streams.
    std::string magic(MAGIC_BYTES, '\0');
    magic.resize(readFully(fd, magic.data(), MAGIC_BYTES));
    const bool keep = wholeLength || needsSeeking(magic);
    const int from = keep ? spool(fd, magic, error) : replay(fd, magic, error);
    if (from < 0) return false;
    piped = !keep;
    file = sf_open_fd(from, SFM_READ, &info, SF_TRUE);
    if (file == nullptr) close(from);
    return true;
}

std::unique_ptr<AudioInput> AudioInput::openMemory(const uint8_t* data, size_t size,
                                                   std::string& error) {
    std::unique_ptr<AudioInput> input(new AudioInput());
    input->memory = data;
    input->readSize = static_cast<sf_count_t>(size);
    static SF_VIRTUAL_IO io = {MemoryIo::length, MemoryIo::seek, MemoryIo::read, MemoryIo::write,
                               MemoryIo::tell};
    input->file = sf_open_virtual(&io, SFM_READ, &input->info, input.get());
    if (input->file == nullptr) {
        error = std::string("cannot read the audio: ") + sf_strerror(nullptr);
        return nullptr;
    }
    if (!input->check("the audio", error)) return nullptr;
    return input;
}

bool AudioInput::check(const std::string& name, std::string& error) {
    if (info.channels < 1 || info.channels > MAX_CHANNELS) {
        error = name + " has " + std::to_string(info.channels) + " channels (1 to 64 are rendered)";
        return false;
    }
    if (info.samplerate < 1 || info.samplerate > MAX_SAMPLE_RATE) {
        error = name + " has a sample rate of " + std::to_string(info.samplerate) + " Hz";
        return false;
    }
    declared = info.frames >= 0 && info.frames < SF_COUNT_MAX ? info.frames : -1;
    return true;
}

bool AudioInput::openFile(const std::string& path, bool wholeLength, std::string& error) {
    struct stat status {};
    if (stat(path.c_str(), &status) == 0 && S_ISFIFO(status.st_mode)) {
        // A named pipe or <(...): everything standard input gets. Opened so as to wait for its
        // writer (a pipe opened without waiting reads as empty until the writer comes).
        const int pipeFd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (pipeFd < 0) {
            error = "cannot read " + path + ": " + std::strerror(errno);
            return false;
        }
        const bool opened = openStream(pipeFd, wholeLength, error);
        // A spooled pipe is read to its end; a streamed one is read on by its replay thread
        // until the program ends, as standard input is.
        if (!opened || !piped) close(pipeFd);
        return opened;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    const bool known = fd >= 0 && fstat(fd, &status) == 0;
    if (known && S_ISDIR(status.st_mode)) {
        close(fd);
        error = "cannot read " + path + ": it is a folder (name an audio file)";
        return false;
    }
    if (known && S_ISREG(status.st_mode)) {
        fileFd = fd;
        readSize = status.st_size;
        window.resize(FileIo::WINDOW_BYTES);
        static SF_VIRTUAL_IO io = {FileIo::length, FileIo::seek, FileIo::read, FileIo::write,
                                   FileIo::tell};
        file = sf_open_virtual(&io, SFM_READ, &info, this);
        return true;
    }
    // Anything else (a device, a name that does not open) as libsndfile takes it, with its
    // messages.
    if (fd >= 0) close(fd);
    file = sf_open(path.c_str(), SFM_READ, &info);
    return true;
}

AudioInput::~AudioInput() {
    if (file != nullptr) sf_close(file);
    if (fileFd >= 0) close(fileFd);
}

int64_t AudioInput::read(float* interleaved, int64_t frames) {
    const sf_count_t n = sf_readf_float(file, interleaved, frames);
    return n > 0 ? n : 0;
}

}  // namespace grindlet::render
