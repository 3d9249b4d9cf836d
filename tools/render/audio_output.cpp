// Audio written a chunk at a time through libsndfile into a pending file or a stream.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "audio_files.h"
#include "ogg_serial.h"
#include "pcm16.h"
#include "pipe_input.h"
#include "stream_header.h"

namespace grindlet::render {

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
    switch (format & SF_FORMAT_TYPEMASK) {
        case SF_FORMAT_FLAC:
            output->emptyUnwritable = "a FLAC";
            break;
        case SF_FORMAT_MPEG:
            output->emptyUnwritable = "an MP3";
            break;
        case SF_FORMAT_OGG:
            if ((format & SF_FORMAT_SUBMASK) == SF_FORMAT_OPUS) output->emptyUnwritable = "an Opus";
            break;
        default:
            break;
    }
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
    if (framesWritten == 0 && emptyUnwritable != nullptr && pending) {
        error = "nothing to write to " + path + ": the input has no frames, and " +
                emptyUnwritable + " file of none is unreadable (its encoder writes nothing)";
        return false;
    }
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
