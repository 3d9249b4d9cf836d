#include "audio_files.h"

#include "ogg_serial.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <thread>
#include <vector>

#include "pcm16.h"

namespace grindlet::render {

namespace {

std::string lowercase(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool seekable(int fd) { return lseek(fd, 0, SEEK_CUR) != -1; }

}  // namespace

// ---- input -----------------------------------------------------------------------------------

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

namespace {

// Reads up to `size` bytes, through interruptions and short reads; the count read.
size_t readFully(int fd, char* buffer, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::read(fd, buffer + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    return done;
}

bool writeFully(int fd, const char* bytes, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, bytes + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

constexpr size_t COPY_BYTES = 1 << 16;
constexpr size_t MAGIC_BYTES = 4;

// Formats libsndfile reads wrongly, or not at all, from a stream, by their first bytes: FLAC
// (its decoder loses sync), CAF (no frames), W64 (a length from garbage), VOC ("Creative Voice
// File") and WVE ("ALawSoundFile").
bool needsSeeking(const std::string& magic) {
    return magic == "fLaC" || magic == "caff" || magic == "riff" || magic == "Crea" ||
           magic == "ALaw";
}

// An unnamed file in the temporary folder holding `prefix` and the rest of fd, positioned at
// its start: it disappears with its descriptor, whatever ends the program. -1 with the reason.
int spool(int fd, const std::string& prefix, std::string& error) {
    const char* folder = std::getenv("TMPDIR");
    const std::string directory = folder != nullptr && *folder != '\0' ? folder : "/tmp";
    int spooled = -1;
#if defined(O_TMPFILE)
    spooled = ::open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
#endif
    if (spooled < 0) {
        std::string name = directory + "/grindlet-input-XXXXXX";
        std::vector<char> pattern(name.begin(), name.end());
        pattern.push_back('\0');
        spooled = mkostemp(pattern.data(), O_CLOEXEC);
        if (spooled >= 0) unlink(pattern.data());  // nameless from the start
    }
    if (spooled < 0) {
        error = "cannot keep the piped input in " + directory + ": " + std::strerror(errno);
        return -1;
    }
    std::vector<char> buffer(COPY_BYTES);
    bool written = writeFully(spooled, prefix.data(), prefix.size());
    for (size_t n; written && (n = readFully(fd, buffer.data(), buffer.size())) > 0;)
        written = writeFully(spooled, buffer.data(), n);
    if (!written || lseek(spooled, 0, SEEK_SET) != 0) {
        error = "cannot keep the piped input in " + directory + ": " + std::strerror(errno);
        close(spooled);
        return -1;
    }
    return spooled;
}

// A pipe that gives `prefix` and then the rest of fd, fed by a thread: libsndfile then reads a
// stream it has seen from its first byte. -1 with the reason.
int replay(int fd, const std::string& prefix, std::string& error) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        error = std::string("cannot read the piped input: ") + std::strerror(errno);
        return -1;
    }
    std::thread([fd, prefix, writeEnd = ends[1]] {
        std::vector<char> buffer(COPY_BYTES);
        bool open = writeFully(writeEnd, prefix.data(), prefix.size());
        // Whatever arrives goes on at once: a live stream must not wait for a full buffer.
        while (open) {
            const ssize_t n = ::read(fd, buffer.data(), buffer.size());
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            open = writeFully(writeEnd, buffer.data(), static_cast<size_t>(n));  // reader gone
        }
        close(writeEnd);
    }).detach();
    return ends[0];
}

}  // namespace

namespace {

uint32_t littleEndian(const unsigned char* bytes) {
    return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 |
           uint32_t(bytes[3]) << 24;
}

// A WAV file's frames as its data chunk states them, when that is more than the file holds;
// -1 otherwise (not a WAV file, a sound one, or the streaming size that means "unknown").
int64_t truncatedWavFrames(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return -1;
    struct stat status {};
    int64_t result = -1;
    unsigned char header[12], chunk[8], format[16];
    uint32_t blockAlign = 0;
    if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode) &&
        readFully(fd, reinterpret_cast<char*>(header), 12) == 12 &&
        std::memcmp(header, "RIFF", 4) == 0 && std::memcmp(header + 8, "WAVE", 4) == 0) {
        int64_t at = 12;
        while (readFully(fd, reinterpret_cast<char*>(chunk), 8) == 8) {
            const uint32_t size = littleEndian(chunk + 4);
            at += 8;
            if (std::memcmp(chunk, "fmt ", 4) == 0 && size >= 16 &&
                readFully(fd, reinterpret_cast<char*>(format), 16) == 16) {
                blockAlign = uint32_t(format[12]) | uint32_t(format[13]) << 8;
                at += 16;
                if (lseek(fd, at += size - 16 + (size & 1), SEEK_SET) < 0) break;
                continue;
            }
            if (std::memcmp(chunk, "data", 4) == 0) {
                const int64_t held = int64_t(status.st_size) - at;
                if (blockAlign > 0 && size != 0xFFFFFFFFu && int64_t(size) > held)
                    result = int64_t(size) / blockAlign;
                break;
            }
            at += int64_t(size) + (size & 1);
            if (lseek(fd, at, SEEK_SET) < 0) break;
        }
    }
    close(fd);
    return result;
}

}  // namespace

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

// ---- output format ---------------------------------------------------------------------------

bool standardOutputIsStream() { return !seekable(STDOUT_FILENO); }

namespace {

// The containers written, by the extension (or --type) that picks each.
struct Container {
    const char* extension;
    int format;
    const char* name;
};
constexpr Container containers[] = {
    {"wav", SF_FORMAT_WAV, "WAV"},    {"flac", SF_FORMAT_FLAC, "FLAC"},
    {"ogg", SF_FORMAT_OGG, "Ogg"},    {"aiff", SF_FORMAT_AIFF, "AIFF"},
    {"aif", SF_FORMAT_AIFF, "AIFF"},  {"w64", SF_FORMAT_W64, "W64"},
    {"caf", SF_FORMAT_CAF, "CAF"},    {"au", SF_FORMAT_AU, "AU"},
    {"rf64", SF_FORMAT_RF64, "RF64"},
};

const Container* byExtension(const std::string& extension) {
    for (const Container& c : containers) {
        if (lowercase(extension) == c.extension) return &c;
    }
    return nullptr;
}

}  // namespace

bool writesExtension(const std::string& extension) { return byExtension(extension) != nullptr; }

namespace {

// Bytes written nowhere: for asking libsndfile whether it would write a format at all.
struct DiscardIo {
    static sf_count_t& at(void* user) { return *static_cast<sf_count_t*>(user); }
    static sf_count_t length(void* user) { return at(user); }
    static sf_count_t seek(sf_count_t offset, int whence, void* user) {
        return at(user) = (whence == SEEK_SET ? 0 : at(user)) + offset;
    }
    static sf_count_t read(void*, sf_count_t, void*) { return 0; }
    static sf_count_t write(const void*, sf_count_t count, void* user) {
        at(user) += count;
        return count;
    }
    static sf_count_t tell(void* user) { return at(user); }
};

// Some limits show only when an encoder takes its first frame (the Vorbis encoder's sample
// rates, which sf_format_check passes): one frame of silence is written to nothing, before
// anything real is written.
bool writerOpens(SF_INFO info) {
    static SF_VIRTUAL_IO io = {DiscardIo::length, DiscardIo::seek, DiscardIo::read,
                               DiscardIo::write, DiscardIo::tell};
    sf_count_t position = 0;
    SNDFILE* probe = sf_open_virtual(&io, SFM_WRITE, &info, &position);
    if (probe == nullptr) return false;
    const float silence[AudioInput::MAX_CHANNELS] = {};
    const bool written =
        info.channels <= AudioInput::MAX_CHANNELS && sf_writef_float(probe, silence, 1) == 1;
    return sf_close(probe) == 0 && written;
}

}  // namespace

bool chooseOutputFormat(const std::string& path, const std::string& type, bool stream,
                        int32_t inputSubtype, const std::string& format, int32_t sampleRate,
                        int32_t channels, int& chosen, std::string& error) {
    const Container* picked = nullptr;
    if (!type.empty()) {
        picked = byExtension(type);
        if (picked == nullptr) {
            error = "--type: unknown container '" + type +
                    "': use wav, flac, ogg, aiff, aif, w64, caf, au or rf64";
            return false;
        }
    } else if (path == "-") {
        picked = &containers[0];  // WAV, which every player and sox read from a pipe
    } else {
        const std::string base = baseName(path);
        const size_t dot = base.find_last_of('.');
        picked = byExtension(dot == std::string::npos ? "" : base.substr(dot + 1));
        if (picked == nullptr && stream) picked = &containers[0];
        if (picked == nullptr) {
            error = "cannot tell the format of " + path +
                    " from its extension: use .wav .flac .ogg .aiff .aif .w64 .caf .au or .rf64";
            return false;
        }
    }
    const int container = picked->format;
    const std::string containerName = picked->name;
    // "a WAV file", "an Ogg file", "an AIFF file"
    const std::string aFile =
        std::string(!containerName.empty() && std::strchr("AEIOU", containerName[0]) != nullptr
                        ? "an "
                        : "a ") +
        containerName + " file";
    // WAV goes to a stream with its sizes written up front; AU streams by design. The others
    // seek back to their headers when they finish, which a pipe cannot.
    if (stream && container != SF_FORMAT_WAV && container != SF_FORMAT_AU) {
        error = aFile + " cannot be written to " +
                (path == "-" ? std::string("standard output here") : path) +
                ": it cannot seek back to the header (use --type wav or --type au)";
        return false;
    }
    auto holds = [&](int subtype) {
        SF_INFO info{};
        info.samplerate = sampleRate;
        info.channels = channels;
        info.format = container | subtype;
        return sf_format_check(&info) != 0 && writerOpens(info);
    };
    if (!format.empty()) {
        static const struct {
            const char* name;
            int subtype;
        } formats[] = {{"pcm16", SF_FORMAT_PCM_16},
                       {"pcm24", SF_FORMAT_PCM_24},
                       {"pcm32", SF_FORMAT_PCM_32},
                       {"float", SF_FORMAT_FLOAT},
                       {"double", SF_FORMAT_DOUBLE}};
        for (const auto& f : formats) {
            if (format == f.name) {
                if (!holds(f.subtype)) {
                    error = aFile + " cannot hold " + format + " samples (--format)";
                    return false;
                }
                chosen = container | f.subtype;
                return true;
            }
        }
        error = "unknown sample format " + format;
        return false;
    }
    // The input's sample format where the container holds it, else the container's own.
    const int fallback = container == SF_FORMAT_OGG    ? SF_FORMAT_VORBIS
                         : container == SF_FORMAT_FLAC ? SF_FORMAT_PCM_24
                                                       : SF_FORMAT_FLOAT;
    // Only plain sample formats carry over: a container may accept a codec (WAV holding MP3)
    // that libsndfile cannot write.
    static const int carried[] = {SF_FORMAT_PCM_S8, SF_FORMAT_PCM_U8, SF_FORMAT_PCM_16,
                                  SF_FORMAT_PCM_24, SF_FORMAT_PCM_32, SF_FORMAT_FLOAT,
                                  SF_FORMAT_DOUBLE, SF_FORMAT_VORBIS};
    const bool plain =
        std::find(std::begin(carried), std::end(carried), inputSubtype) != std::end(carried);
    for (int subtype : {plain ? inputSubtype : fallback, fallback}) {
        if (holds(subtype)) {
            chosen = container | subtype;
            return true;
        }
    }
    error = aFile + " cannot hold " + std::to_string(channels) + " channel(s) at " +
            std::to_string(sampleRate) + " Hz";
    return false;
}

// ---- audio output ----------------------------------------------------------------------------

namespace {

constexpr int64_t PCM16_FRAMES = 4096;  // converted to 16 bits at a time
constexpr int64_t HAND_TO_DISK_BYTES = 4 << 20;
constexpr size_t GATHER_FILE_BYTES = 128 << 10;
constexpr size_t GATHER_STREAM_BYTES = 64 << 10;

// libsndfile's I/O, through calls whose first failure the sink keeps. Its small writes are
// gathered into large ones (a system call costs more than the copy); anything else libsndfile
// does (seek, read) first writes out what is gathered, so position is always the logical one.
struct SinkIo {
    static AudioOutput::Sink& of(void* user) { return *static_cast<AudioOutput::Sink*>(user); }
    static void keep(AudioOutput::Sink& sink, int error) {
        if (sink.error == 0) sink.error = error;
    }
    static sf_count_t length(void* user) {
        AudioOutput::Sink& sink = of(user);
        return std::max(sink.length, sink.position);
    }
    static sf_count_t seek(sf_count_t offset, int whence, void* user) {
        AudioOutput::Sink& sink = of(user);
        const int64_t base = whence == SEEK_CUR   ? sink.position
                             : whence == SEEK_END ? std::max(sink.length, sink.position)
                                                  : 0;
        const int64_t target = base + offset;
        if (target == sink.position) return target;
        flush(sink);
        if (!sink.seekable || target < 0 || lseek(sink.fd, target, SEEK_SET) < 0) {
            keep(sink, sink.seekable && target >= 0 ? errno : ESPIPE);
            return -1;
        }
        sink.position = target;
        return target;
    }
    static sf_count_t read(void* destination, sf_count_t count, void* user) {
        AudioOutput::Sink& sink = of(user);
        if (!sink.seekable) return 0;
        flush(sink);
        const ssize_t n = ::read(sink.fd, destination, static_cast<size_t>(count));
        if (n < 0) {
            keep(sink, errno);
            return 0;
        }
        sink.position += n;
        return n;
    }
    static sf_count_t write(const void* source, sf_count_t count, void* user) {
        AudioOutput::Sink& sink = of(user);
        const auto bytes = static_cast<size_t>(count);
        if (sink.gathered.size() + bytes > sink.gatherBytes) flush(sink);
        if (bytes >= sink.gatherBytes) {
            writeOut(sink, static_cast<const char*>(source), bytes);
        } else {
            const char* from = static_cast<const char*>(source);
            sink.gathered.insert(sink.gathered.end(), from, from + bytes);
        }
        sink.position += count;
        sink.length = std::max(sink.length, sink.position);
        return count;
    }
    static sf_count_t tell(void* user) { return of(user).position; }

    // Writes out what is gathered; a failure is kept.
    static void flush(AudioOutput::Sink& sink) {
        writeOut(sink, sink.gathered.data(), sink.gathered.size());
        sink.gathered.clear();
        handToDisk(sink);
    }
    static void writeOut(AudioOutput::Sink& sink, const char* bytes, size_t count) {
        for (size_t done = 0; done < count && sink.error == 0;) {
            const ssize_t n = ::write(sink.fd, bytes + done, count - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                keep(sink, n < 0 ? errno : EIO);
                break;
            }
            done += static_cast<size_t>(n);
        }
    }
    // Starts writing out what is complete, without waiting: the disk works while we render,
    // and the final fsync, which makes the file safe to put in place, has little left to do.
    static void handToDisk(AudioOutput::Sink& sink) {
        if (!sink.file || sink.position - sink.handedToDisk < HAND_TO_DISK_BYTES) return;
        if (sync_file_range(sink.fd, sink.handedToDisk, sink.position - sink.handedToDisk,
                            SYNC_FILE_RANGE_WRITE) != 0) {
            keep(sink, errno);
        }
        sink.handedToDisk = sink.position;
    }
};

void put16(std::string& out, uint32_t v) {
    out += static_cast<char>(v & 0xFF);
    out += static_cast<char>((v >> 8) & 0xFF);
}
void put32(std::string& out, uint32_t v) {
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}

void putBig32(std::string& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>((v >> shift) & 0xFF);
}

struct SampleLayout {
    uint32_t bytes;
    bool floating;
};

SampleLayout layoutOf(int subtype) {
    switch (subtype) {
        case SF_FORMAT_PCM_U8:
        case SF_FORMAT_PCM_S8:
            return {1, false};
        case SF_FORMAT_PCM_24:
            return {3, false};
        case SF_FORMAT_PCM_32:
            return {4, false};
        case SF_FORMAT_FLOAT:
            return {4, true};
        case SF_FORMAT_DOUBLE:
            return {8, true};
        default:
            return {2, false};
    }
}

// The header of a file written as a stream, whose sizes cannot be fixed afterwards: from the
// length where that is known and fits, else the "unknown length" sizes that streaming readers
// accept. WAV (little-endian samples) or AU (big-endian).
std::string streamedHeader(int container, int subtype, int32_t sampleRate, int32_t channels,
                           int64_t frames) {
    constexpr uint32_t UNKNOWN = 0xFFFFFFFFu, WAV_HEADER_AFTER_RIFF_SIZE = 36;
    const SampleLayout layout = layoutOf(subtype);
    const uint32_t blockAlign = layout.bytes * static_cast<uint32_t>(channels);
    const uint64_t dataBytes = frames >= 0 ? uint64_t(frames) * blockAlign : UINT64_MAX;
    const bool known = dataBytes < UNKNOWN - WAV_HEADER_AFTER_RIFF_SIZE;
    std::string header;
    if (container == SF_FORMAT_AU) {
        constexpr uint32_t AU_HEADER_BYTES = 24;
        // AU's encodings: 2 to 5 for 8- to 32-bit integers, 6 float, 7 double.
        const uint32_t encoding = layout.floating ? (layout.bytes == 4 ? 6 : 7) : layout.bytes + 1;
        header = ".snd";
        putBig32(header, AU_HEADER_BYTES);
        putBig32(header, known ? static_cast<uint32_t>(dataBytes) : UNKNOWN);
        putBig32(header, encoding);
        putBig32(header, static_cast<uint32_t>(sampleRate));
        putBig32(header, static_cast<uint32_t>(channels));
        return header;
    }
    constexpr uint16_t PCM = 1, IEEE_FLOAT = 3;
    header = "RIFF";
    put32(header, known ? static_cast<uint32_t>(dataBytes) + WAV_HEADER_AFTER_RIFF_SIZE : UNKNOWN);
    header += "WAVEfmt ";
    put32(header, 16);
    put16(header, layout.floating ? IEEE_FLOAT : PCM);
    put16(header, static_cast<uint32_t>(channels));
    put32(header, static_cast<uint32_t>(sampleRate));
    put32(header, static_cast<uint32_t>(sampleRate) * blockAlign);
    put16(header, blockAlign);
    put16(header, layout.bytes * 8);
    header += "data";
    put32(header, known ? static_cast<uint32_t>(dataBytes) : UNKNOWN);
    return header;
}

}  // namespace

int64_t sampleDataBytes(int format, int32_t channels, int64_t frames) {
    return frames * channels * layoutOf(format & SF_FORMAT_SUBMASK).bytes;
}

std::unique_ptr<AudioOutput> AudioOutput::open(const std::string& path, const Shape& shape,
                                               bool replace, std::string& error) {
    const int format = shape.format;
    const int32_t sampleRate = shape.sampleRate, channels = shape.channels;
    const int64_t frames = shape.frames;
    std::unique_ptr<AudioOutput> output(new AudioOutput());
    output->path = path == "-" ? "standard output" : path;
    output->channels = channels;
    if (shape.byteLimit >= 0)
        output->framesLimit = shape.byteLimit / sampleDataBytes(format, channels, 1);
    struct stat status {};
    const bool existingStream =
        path != "-" && stat(path.c_str(), &status) == 0 &&
        (S_ISFIFO(status.st_mode) || S_ISCHR(status.st_mode) || S_ISSOCK(status.st_mode));
    if (path == "-") {
        output->sink.fd = STDOUT_FILENO;
    } else if (existingStream) {
        // A pipe or a device is written to, never replaced by a file.
        output->streamFd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
        if (output->streamFd < 0) {
            error = "cannot write " + path + ": " + std::strerror(errno);
            return nullptr;
        }
        output->sink.fd = output->streamFd;
    } else {
        output->pending = PendingFile::create(path, replace, error);
        if (!output->pending) return nullptr;
        output->sink.fd = output->pending->descriptor();
        output->sink.file = true;
    }
    output->sink.seekable = seekable(output->sink.fd);
    output->ogg = (format & SF_FORMAT_TYPEMASK) == SF_FORMAT_OGG && output->pending != nullptr;
    // A stream's reader gets its audio in pieces no larger than a pipe holds.
    output->sink.gatherBytes = output->sink.file ? GATHER_FILE_BYTES : GATHER_STREAM_BYTES;
    output->sink.gathered.reserve(output->sink.gatherBytes);
    if (output->sink.seekable) output->sink.position = lseek(output->sink.fd, 0, SEEK_CUR);
    output->sink.length = output->sink.position;
    SF_INFO info{};
    info.samplerate = sampleRate;
    info.channels = channels;
    info.format = format;
    if (!output->sink.seekable) {
        // libsndfile would seek back to the header when it finishes, which a stream cannot:
        // the header goes first, with the sizes the length gives, and libsndfile converts the
        // samples. (chooseOutputFormat lets only WAV and AU reach a stream.)
        const int container = format & SF_FORMAT_TYPEMASK;
        const std::string header =
            streamedHeader(container, format & SF_FORMAT_SUBMASK, sampleRate, channels, frames);
        SinkIo::write(header.data(), static_cast<sf_count_t>(header.size()), &output->sink);
        if (output->sink.error != 0) {
            error = "cannot write " + output->path + ": " + std::strerror(output->sink.error);
            return nullptr;
        }
        info.format = SF_FORMAT_RAW | (format & SF_FORMAT_SUBMASK) |
                      (container == SF_FORMAT_AU ? SF_ENDIAN_BIG : SF_ENDIAN_LITTLE);
        output->framesPromised = frames;
    }
    static SF_VIRTUAL_IO io = {SinkIo::length, SinkIo::seek, SinkIo::read, SinkIo::write,
                               SinkIo::tell};
    output->file = sf_open_virtual(&io, SFM_WRITE, &info, &output->sink);
    if (output->file == nullptr) {
        error =
            "cannot write " + output->path + ": " +
            (output->sink.error != 0 ? std::strerror(output->sink.error) : sf_strerror(nullptr));
        return nullptr;
    }
    // Integer formats clip rather than wrap out-of-range samples.
    sf_command(output->file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    // No PEAK chunk: its time stamp would make every render of the same input differ.
    sf_command(output->file, SFC_SET_ADD_PEAK_CHUNK, nullptr, SF_FALSE);
    if (shape.downgradeSmallRf64 &&
        sf_command(output->file, SFC_RF64_AUTO_DOWNGRADE, nullptr, SF_TRUE) != SF_TRUE) {
        error = "cannot write " + output->path + ": RF64 cannot fall back to WAV here";
        return nullptr;
    }
    // Where libsndfile's PCM writer would turn floats into 16 bits, we do, the same way.
    const int written = info.format & SF_FORMAT_TYPEMASK;
    const bool pcmWriter = written == SF_FORMAT_WAV || written == SF_FORMAT_AIFF ||
                           written == SF_FORMAT_AU || written == SF_FORMAT_W64 ||
                           written == SF_FORMAT_CAF || written == SF_FORMAT_RAW;
    if (pcmWriter && (info.format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16)
        output->pcm16.resize(static_cast<size_t>(PCM16_FRAMES * channels));
    return output;
}

bool AudioOutput::failed(const std::string& what, std::string& error) const {
    error = what + " " + path + ": " +
            (sink.error != 0 ? std::strerror(sink.error) : sf_strerror(file));
    return false;
}

bool AudioOutput::write(const float* interleaved, int64_t frames, std::string& error) {
    if (framesLimit >= 0 && framesWritten + frames > framesLimit) {
        error = "cannot write " + path + ": the audio passes the 4 GiB that the format's sizes " +
                "hold (after " + std::to_string(framesLimit) +
                " frames): write .w64, .caf or .rf64 (or .wav, which becomes RF64 when it must)";
        return false;
    }
    for (int64_t i = 0; ogg && i < frames * channels; ++i) {
        uint32_t bits;
        std::memcpy(&bits, interleaved + i, sizeof bits);
        oggSerial = (oggSerial ^ bits) * 16777619u;
    }
    if (pcm16.empty()) {
        const bool written = sf_writef_float(file, interleaved, frames) == frames;
        if (!written || sink.error != 0) return failed("cannot write", error);
    }
    for (int64_t done = 0; !pcm16.empty() && done < frames;) {
        const int64_t n = std::min(PCM16_FRAMES, frames - done);
        floatsToPcm16(interleaved + done * channels, pcm16.data(),
                      static_cast<size_t>(n * channels));
        const bool written = sf_writef_short(file, pcm16.data(), n) == n;
        if (!written || sink.error != 0) return failed("cannot write", error);
        done += n;
    }
    framesWritten += frames;
    return true;
}

bool AudioOutput::finish(std::string& error) {
    // A streamed header promised its length: a shorter render is padded with silence.
    if (framesPromised > framesWritten) {
        const std::vector<float> silence(static_cast<size_t>(4096 * channels), 0.0f);
        while (framesPromised > framesWritten) {
            const int64_t n = std::min<int64_t>(4096, framesPromised - framesWritten);
            if (!write(silence.data(), n, error)) return false;
        }
    }
    const int status = sf_close(file);  // the encoder's last blocks, the final header
    file = nullptr;
    SinkIo::flush(sink);
    if (sink.error != 0 || status != 0) {
        error = "cannot complete " + path + ": " +
                (sink.error != 0 ? std::strerror(sink.error) : sf_error_number(status));
        return false;
    }
    if (ogg && !setOggSerial(sink.fd, oggSerial)) {
        error = "cannot complete " + path + ": " + std::strerror(errno);
        return false;
    }
    if (streamFd >= 0) {
        const bool closed = close(streamFd) == 0;
        streamFd = -1;
        if (!closed) {
            error = "cannot complete " + path + ": " + std::strerror(errno);
            return false;
        }
    }
    return !pending || pending->commit(error);
}

AudioOutput::~AudioOutput() {
    if (file != nullptr) sf_close(file);
    if (streamFd >= 0) close(streamFd);
}

}  // namespace grindlet::render
