// libFuzzer target: the render tool's reading and chunked processing on any bytes. The first
// bytes choose the controls and the block size; the rest is an audio file, read through
// libsndfile's virtual I/O and rendered a chunk at a time through the module (linked in).
// What must hold: no crash, no sanitizer report, memory bounded whatever the header claims,
// and every sample the module writes within the buffers.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "effect/exports.h"
#include "host/module_library.h"
#include "tools/render/audio_files.h"
#include "tools/render/module_channel.h"
#include "tools/render/plot_svg.h"
#include "tools/render/render_engine.h"

extern "C" int32_t getModuleProperties(int32_t index, grindlet::ModuleInfo* info);
extern "C" grindlet::ModuleBlock* makeModule(int32_t index, int32_t kind,
                                             grindlet::HostCallback callback, void* hostHandle);

using namespace grindlet;

namespace {

constexpr size_t CONTROL_BYTES = 4;
constexpr int64_t CHUNK_FRAMES = 4096;
constexpr int64_t MOST_FRAMES = 1 << 20;  // a fuzz input renders at most this much

const host::ModuleLibrary& library() {
    static const auto linked =
        host::ModuleLibrary::linkedIn(&getModuleProperties, &makeModule, "linked-in");
    return *linked;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < CONTROL_BYTES) return 0;
    render::RenderOptions options;
    const double bitsChoices[] = {0.0, 1.0, 4.0, 8.0, 16.0, 23.5, 32.0};
    const double rateChoices[] = {50.0, 800.0, 8000.0, 22050.0, 44100.0, 1e6};
    options.controls[dsp::CONTROL_BITS] = {bitsChoices[data[0] % 7],
                                           bitsChoices[(data[0] >> 3) % 7]};
    options.controls[dsp::CONTROL_RATE] = {rateChoices[data[1] % 6],
                                           rateChoices[(data[1] >> 3) % 6]};
    const int16_t quantize = static_cast<int16_t>(data[2] % 3),
                  mode = static_cast<int16_t>((data[2] >> 2) % 2);
    options.controls[dsp::CONTROL_QUANTIZE] = {double(quantize), double(quantize)};
    options.controls[dsp::CONTROL_MODE] = {double(mode), double(mode)};
    options.block = 1 + data[3] * 7;

    std::string error;
    const auto input =
        render::AudioInput::openMemory(data + CONTROL_BYTES, size - CONTROL_BYTES, error);
    if (!input) return 0;
    const auto crusher =
        render::openModuleCrusher(library(), static_cast<float>(input->sampleRate()),
                                  input->channels(), options.block, quantize, mode, error);
    if (!crusher) std::abort();
    render::ChannelRenderer renderer;
    renderer.start(crusher.get(), options, input->sampleRate(), input->channels(),
                   input->declaredFrames());
    const int64_t chunk =
        std::max<int64_t>(options.block, CHUNK_FRAMES / options.block * options.block);
    std::vector<float> in(static_cast<size_t>(chunk * input->channels())), out(in.size());
    render::PlotWindow window(100, 200);
    int64_t position = 0;
    for (int64_t n; position < MOST_FRAMES && (n = input->read(in.data(), chunk)) > 0;
         position += n) {
        renderer.process(in.data(), out.data(), n);
        window.capture(in.data(), out.data(), n, position, input->channels());
    }
    return 0;
}
