// Audio in and out through libsndfile, a chunk at a time; outputs go through safe_files.h.
#pragma once

#include <sndfile.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "dsp/controls.h"
#include "safe_files.h"

namespace grindlet::render {

// Where samples come from: a file, standard input ("-"), or bytes in memory.
class AudioInput {
public:
    // wholeLength: a pipe is read to its end first (into a nameless temporary file), so that
    // its length is known (for a sweep); otherwise it streams, of unknown length.
    static std::unique_ptr<AudioInput> open(const std::string& path, bool wholeLength,
                                            std::string& error);
    static std::unique_ptr<AudioInput> openMemory(const uint8_t* data, size_t size,
                                                  std::string& error);
    ~AudioInput();
    AudioInput(const AudioInput&) = delete;
    AudioInput& operator=(const AudioInput&) = delete;

    int32_t sampleRate() const { return info.samplerate; }
    int32_t channels() const { return info.channels; }
    int32_t subtype() const { return info.format & SF_FORMAT_SUBMASK; }
    // The frames the header promises, or -1 where the length is unknown (a stream: a pipe's
    // header states no length that can be trusted).
    int64_t declaredFrames() const { return declared; }
    // The frames the file's header states, where that is more than the file holds (a WAV whose
    // data chunk was cut short, which libsndfile quietly corrects); else declaredFrames().
    int64_t statedFrames() const { return stated >= 0 ? stated : declared; }
    // Reads up to `frames` interleaved frames; returns how many it read (0 at the end).
    int64_t read(float* interleaved, int64_t frames);
    // Streamed from a pipe: of unknown length.
    bool fromPipe() const { return piped; }
    // The error of a failed read of the file (errno), or 0: the end was the file's end.
    int readError() const { return fileError; }

    // Limits that no sensible file exceeds, checked before anything is allocated by them.
    static constexpr int32_t MAX_CHANNELS = dsp::MOST_CHANNELS;
    static constexpr int32_t MAX_SAMPLE_RATE = 10'000'000;

private:
    AudioInput() = default;
    // A regular file through our window, a named pipe as standard input, anything else as
    // libsndfile opens it; false (with why) for a folder.
    bool openFile(const std::string& path, bool wholeLength, std::string& error);
    // A descriptor that may be a pipe: spooled where the format must seek or the whole length
    // is wanted, else streamed; the descriptor stays the caller's.
    bool openStream(int fd, bool wholeLength, std::string& error);
    bool check(const std::string& name, std::string& error);

    SNDFILE* file = nullptr;
    SF_INFO info{};
    int64_t declared = -1;
    int64_t stated = -1;
    bool piped = false;
    // What libsndfile's virtual I/O reads (bytes in memory, or a regular file): their length
    // and its position in them.
    sf_count_t readSize = 0;
    sf_count_t readAt = 0;
    friend struct ReadIo;
    friend struct MemoryIo;
    // For openMemory: the bytes.
    const uint8_t* memory = nullptr;
    // For a regular file: read a large window at a time (libsndfile asks for small pieces).
    int fileFd = -1;
    std::vector<char> window;
    sf_count_t windowStart = 0;
    size_t windowLength = 0;
    int fileError = 0;
    friend struct FileIo;
};

// The libsndfile format for an output: the container from `type` (wav, flac, ...) where given,
// else from the path's extension, else WAV (standard output, a pipe or a device); the sample
// format from `format` (pcm16, pcm24, pcm32, float, double) or else the input's where the
// container holds it, else a sound default. A stream (stream true: standard output that cannot
// seek, a pipe) takes only WAV and AU. False with a message for an unknown extension or type,
// or an impossible combination.
bool chooseOutputFormat(const std::string& path, const std::string& type, bool stream,
                        int32_t inputSubtype, const std::string& format, int32_t sampleRate,
                        int32_t channels, int& chosen, std::string& error);

// The bytes of samples a PCM or float output of this format holds for `frames` frames.
int64_t sampleDataBytes(int format, int32_t channels, int64_t frames);
// How many bytes of samples a WAV or AIFF file's 32-bit size fields can describe, with room
// for the header and its chunks.
constexpr int64_t SIZE_FIELD_LIMIT = 0xFFFFFFFFll - 0x10000;

// Whether an output named with this extension ("flac", any case) has a container.
bool writesExtension(const std::string& extension);

// Whether standard output is a pipe or a device, which cannot seek back to a header.
bool standardOutputIsStream();

// Audio written a chunk at a time: to a pending file, or as a stream to standard output, a pipe
// or a device. Every byte goes through calls whose failures are kept, so that nothing is put in
// place unless every write, the encoder's last ones included, succeeded.
class AudioOutput {
public:
    struct Shape {
        int format = 0;  // libsndfile's container and sample format
        int32_t sampleRate = 0;
        int32_t channels = 0;
        int64_t frames = -1;  // the length, where known, for the sizes in a streamed header
        // RF64 written as plain WAV while it stays within WAV's sizes (a length not known).
        bool downgradeSmallRf64 = false;
        // The most bytes of samples the container's sizes hold, where a length not known
        // could pass them (-1: no limit): a write past it fails, and nothing is put in place.
        int64_t byteLimit = -1;
    };
    // replace: an existing file may be replaced (-f).
    static std::unique_ptr<AudioOutput> open(const std::string& path, const Shape& shape,
                                             bool replace, std::string& error);
    ~AudioOutput();
    AudioOutput(const AudioOutput&) = delete;
    AudioOutput& operator=(const AudioOutput&) = delete;

    bool write(const float* interleaved, int64_t frames, std::string& error);
    // Completes the file (encoder, header, flush to disk) and puts it in place.
    bool finish(std::string& error);

    // Where the bytes go, and the first failure of any call that wrote them.
    struct Sink {
        int fd = -1;
        bool seekable = false;
        bool file = false;  // a file of ours, which the disk is given as it fills
        int64_t position = 0;
        int64_t length = 0;
        int64_t handedToDisk = 0;    // bytes before this are being written out already
        std::vector<char> gathered;  // written by libsndfile, not yet by us
        size_t gatherBytes = 0;      // written out when this much is gathered
        int error = 0;
    };

private:
    AudioOutput() = default;
    bool failed(const std::string& what, std::string& error) const;

    std::string path;
    std::unique_ptr<PendingFile> pending;  // null for a stream
    int streamFd = -1;                     // a pipe or device this opened itself
    Sink sink;
    SNDFILE* file = nullptr;
    int32_t channels = 0;
    int64_t framesLimit = -1;  // what the container's sizes hold (-1: no limit)
    // An Ogg file's stream serial, made from the samples written (FNV-1a over their bits), so
    // that the same render gives the same bytes; libsndfile's own is random.
    bool ogg = false;
    uint32_t oggSerial = 2166136261u;
    // Where the encoder writes nothing without a frame (FLAC, MP3, Opus), a file of no frames
    // would be unreadable: such a render fails and puts nothing in place.
    const char* emptyUnwritable = nullptr;  // "a FLAC", "an MP3", "an Opus" there
    int64_t framesPromised = -1;            // a streamed header's length; short renders are padded
    int64_t framesWritten = 0;
    std::vector<int16_t> pcm16;  // 16-bit PCM converted here, as libsndfile would (else empty)
};

}  // namespace grindlet::render
