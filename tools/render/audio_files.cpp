#include "audio_files.h"

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
#include <vector>

namespace grindlet::render {

namespace {

std::string lowercase(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool seekable(int fd) { return lseek(fd, 0, SEEK_CUR) != -1; }

}  // namespace

// ---- input -----------------------------------------------------------------------------------

struct MemoryIo {
    static AudioInput& of(void* user) { return *static_cast<AudioInput*>(user); }
    static sf_count_t length(void* user) { return of(user).memorySize; }
    static sf_count_t seek(sf_count_t offset, int whence, void* user) {
        AudioInput& in = of(user);
        const sf_count_t base = whence == SEEK_CUR   ? in.memoryAt
                                : whence == SEEK_END ? in.memorySize
                                                     : 0;
        if (offset > in.memorySize - base || base + offset < 0) return -1;
        in.memoryAt = base + offset;
        return in.memoryAt;
    }
    static sf_count_t read(void* destination, sf_count_t count, void* user) {
        AudioInput& in = of(user);
        const sf_count_t n = std::max<sf_count_t>(0, std::min(count, in.memorySize - in.memoryAt));
        std::memcpy(destination, in.memory + in.memoryAt, static_cast<size_t>(n));
        in.memoryAt += n;
        return n;
    }
    static sf_count_t write(const void*, sf_count_t, void*) { return 0; }
    static sf_count_t tell(void* user) { return of(user).memoryAt; }
};

std::unique_ptr<AudioInput> AudioInput::open(const std::string& path, std::string& error) {
    std::unique_ptr<AudioInput> input(new AudioInput());
    if (path == "-") {
        input->file = sf_open_fd(STDIN_FILENO, SFM_READ, &input->info, SF_FALSE);
    } else {
        input->file = sf_open(path.c_str(), SFM_READ, &input->info);
    }
    const std::string name = path == "-" ? "standard input" : path;
    if (input->file == nullptr) {
        error = "cannot read " + name + ": " + sf_strerror(nullptr);
        return nullptr;
    }
    if (!input->check(name, error)) return nullptr;
    return input;
}

std::unique_ptr<AudioInput> AudioInput::openMemory(const uint8_t* data, size_t size,
                                                   std::string& error) {
    std::unique_ptr<AudioInput> input(new AudioInput());
    input->memory = data;
    input->memorySize = static_cast<sf_count_t>(size);
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

AudioInput::~AudioInput() {
    if (file != nullptr) sf_close(file);
}

int64_t AudioInput::read(float* interleaved, int64_t frames) {
    const sf_count_t n = sf_readf_float(file, interleaved, frames);
    return n > 0 ? n : 0;
}

// ---- output format ---------------------------------------------------------------------------

bool chooseOutputFormat(const std::string& path, int32_t inputSubtype, const std::string& format,
                        int32_t sampleRate, int32_t channels, int& chosen, std::string& error) {
    struct Container {
        const char* extension;
        int format;
        const char* name;
    };
    static const Container containers[] = {
        {"wav", SF_FORMAT_WAV, "WAV"},   {"flac", SF_FORMAT_FLAC, "FLAC"},
        {"ogg", SF_FORMAT_OGG, "Ogg"},   {"aiff", SF_FORMAT_AIFF, "AIFF"},
        {"aif", SF_FORMAT_AIFF, "AIFF"}, {"w64", SF_FORMAT_W64, "W64"},
        {"caf", SF_FORMAT_CAF, "CAF"},
    };
    int container = 0;
    std::string containerName;
    if (path == "-") {
        // libsndfile writes WAV only where it can seek back to the header.
        const bool canSeek = seekable(STDOUT_FILENO);
        container = canSeek ? SF_FORMAT_WAV : SF_FORMAT_AU;
        containerName = canSeek ? "WAV" : "AU";
    } else {
        const std::string base = baseName(path);
        const size_t dot = base.find_last_of('.');
        const std::string extension =
            dot == std::string::npos ? "" : lowercase(base.substr(dot + 1));
        for (const Container& c : containers) {
            if (extension == c.extension) {
                container = c.format;
                containerName = c.name;
            }
        }
        if (container == 0) {
            error = "cannot tell the format of " + path +
                    " from its extension: use .wav .flac .ogg .aiff .aif .w64 or .caf";
            return false;
        }
    }
    auto holds = [&](int subtype) {
        SF_INFO info{};
        info.samplerate = sampleRate;
        info.channels = channels;
        info.format = container | subtype;
        return sf_format_check(&info) != 0;
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
                    error = "a " + containerName + " file cannot hold " + format +
                            " samples (--format)";
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
    error = "a " + containerName + " file cannot hold " + std::to_string(channels) +
            " channel(s) at " + std::to_string(sampleRate) + " Hz";
    return false;
}

// ---- audio output ----------------------------------------------------------------------------

std::unique_ptr<AudioOutput> AudioOutput::open(const std::string& path, int format,
                                               int32_t sampleRate, int32_t channels,
                                               std::string& error) {
    std::unique_ptr<AudioOutput> output(new AudioOutput());
    output->path = path == "-" ? "standard output" : path;
    int fd = STDOUT_FILENO;
    if (path != "-") {
        output->pending = PendingFile::create(path, error);
        if (!output->pending) return nullptr;
        fd = output->pending->descriptor();
    }
    SF_INFO info{};
    info.samplerate = sampleRate;
    info.channels = channels;
    info.format = format;
    output->file = sf_open_fd(fd, SFM_WRITE, &info, SF_FALSE);
    if (output->file == nullptr) {
        error = "cannot write " + output->path + ": " + sf_strerror(nullptr);
        return nullptr;
    }
    // Integer formats clip rather than wrap out-of-range samples.
    sf_command(output->file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    return output;
}

bool AudioOutput::write(const float* interleaved, int64_t frames, std::string& error) {
    if (sf_writef_float(file, interleaved, frames) == frames) return true;
    error = "cannot write " + path + ": " + sf_strerror(file) + " (is the disk full?)";
    return false;
}

bool AudioOutput::finish(std::string& error) {
    if (pending) sf_write_sync(file);
    const int status = sf_close(file);
    file = nullptr;
    if (status != 0) {
        error = "cannot complete " + path + ": " + sf_error_number(status);
        return false;
    }
    return !pending || pending->commit(error);
}

AudioOutput::~AudioOutput() {
    if (file != nullptr) sf_close(file);
}

}  // namespace grindlet::render
