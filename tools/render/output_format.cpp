// The output's format: the container from the name or --type, the sample format from the input
// or --format, each checked with libsndfile before anything is written.
#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <iterator>

#include "audio_files.h"
#include "pipe_input.h"

namespace grindlet::render {

namespace {

std::string lowercase(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

bool standardOutputIsStream() { return !seekable(STDOUT_FILENO); }

namespace {

// The containers written, by the extension (or --type) that picks each, and the sample format
// an input's is replaced by where the container cannot hold it.
struct Container {
    const char* extension;
    int format;
    const char* name;
    int fallback;
    bool codecNamed = false;  // the extension names the codec too (.opus is Opus, never Vorbis)
};
constexpr Container containers[] = {
    {"wav", SF_FORMAT_WAV, "WAV", SF_FORMAT_FLOAT},
    {"flac", SF_FORMAT_FLAC, "FLAC", SF_FORMAT_PCM_24},
    {"ogg", SF_FORMAT_OGG, "Ogg", SF_FORMAT_VORBIS},
    {"aiff", SF_FORMAT_AIFF, "AIFF", SF_FORMAT_FLOAT},
    {"aif", SF_FORMAT_AIFF, "AIFF", SF_FORMAT_FLOAT},
    {"w64", SF_FORMAT_W64, "W64", SF_FORMAT_FLOAT},
    {"caf", SF_FORMAT_CAF, "CAF", SF_FORMAT_FLOAT},
    {"au", SF_FORMAT_AU, "AU", SF_FORMAT_FLOAT},
    {"rf64", SF_FORMAT_RF64, "RF64", SF_FORMAT_FLOAT},
    // Other names of the same, as corpora hold them.
    {"wave", SF_FORMAT_WAV, "WAV", SF_FORMAT_FLOAT},
    {"oga", SF_FORMAT_OGG, "Ogg", SF_FORMAT_VORBIS},
    {"opus", SF_FORMAT_OGG, "Ogg Opus", SF_FORMAT_OPUS, true},
    {"aifc", SF_FORMAT_AIFF, "AIFF", SF_FORMAT_FLOAT},
    {"snd", SF_FORMAT_AU, "AU", SF_FORMAT_FLOAT},
    {"mp3", SF_FORMAT_MPEG, "MP3", SF_FORMAT_MPEG_LAYER_III, true},
};

// "wav, flac, ... or mp3", each with `mark` before it.
std::string containerList(const char* mark) {
    std::string list;
    const size_t count = std::size(containers);
    for (size_t i = 0; i < count; ++i) {
        list += std::string(i == 0           ? ""
                            : i + 1 == count ? " or "
                            : mark[0] == '.' ? " "
                                             : ", ") +
                mark + containers[i].extension;
    }
    return list;
}

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
            error = "--type: unknown container '" + type + "': use " + containerList("");
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
            error = "cannot tell the format of " + path + " from its extension: use " +
                    containerList(".");
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
    const int fallback = picked->fallback;
    // Only plain sample formats carry over: a container may accept a codec (WAV holding MP3)
    // that libsndfile cannot write.
    static const int carried[] = {SF_FORMAT_PCM_S8, SF_FORMAT_PCM_U8, SF_FORMAT_PCM_16,
                                  SF_FORMAT_PCM_24, SF_FORMAT_PCM_32, SF_FORMAT_FLOAT,
                                  SF_FORMAT_DOUBLE, SF_FORMAT_VORBIS};
    const bool plain = !picked->codecNamed && std::find(std::begin(carried), std::end(carried),
                                                        inputSubtype) != std::end(carried);
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

}  // namespace grindlet::render
