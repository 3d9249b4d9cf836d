// qz_grindlet._grindlet: the engine every front end shares, on NumPy arrays. process() renders
// a whole array as the render tool renders a file; Grindlet keeps the engine between chunks of
// a stream. Arguments are checked here, in C++, so that a short call costs microseconds; the
// samples are processed with the GIL released.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "dsp/control_texts.h"
#include "dsp/controls.h"
#include "dsp/draws.h"
#include "dsp/engine.h"
#include "dsp/presets.h"
#include "tools/render/render_job.h"

namespace py = pybind11;
namespace dsp = grindlet::dsp;

namespace {

// The host block size every front end uses by default, and the most it accepts.
constexpr int64_t DEFAULT_BLOCK = dsp::DEFAULT_BLOCK_FRAMES;
constexpr int64_t MAX_BLOCK = dsp::MOST_BLOCK_FRAMES;
// More channels than this is almost surely a (frames, channels) array passed without
// channels_last=True.
constexpr int64_t MAX_CHANNELS = dsp::MOST_CHANNELS;
// The frames gathered at once from an interleaved array.
constexpr int64_t GATHER_FRAMES = 4096;

const dsp::ControlFacts& facts(dsp::ControlIndex control) { return dsp::CONTROLS[control]; }

std::string formatNumber(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.10g", value);
    return text;
}

std::string typeName(py::handle value) { return py::str(py::type::of(value).attr("__name__")); }

using dsp::rangeText;  // what a control accepts: "from 0 to 32 bits"

// A Python number other than a bool (True is not a bit depth); numpy scalars included.
bool isNumber(py::handle value) {
    if (PyBool_Check(value.ptr()) || PyUnicode_Check(value.ptr())) return false;
    if (py::isinstance<py::array>(value))
        return py::reinterpret_borrow<py::array>(value).ndim() == 0;
    return PyNumber_Check(value.ptr()) != 0 && PyObject_HasAttrString(value.ptr(), "__float__");
}

double checkedValue(const dsp::ControlFacts& control, double value) {
    if (!dsp::accepts(control, value)) {
        throw py::value_error(std::string(control.symbol) + " must be " + rangeText(control) +
                              "; got " + formatNumber(value));
    }
    return value;
}

double numberValue(const dsp::ControlFacts& control, py::handle value) {
    return checkedValue(control,
                        py::cast<double>(py::float_(py::reinterpret_borrow<py::object>(value))));
}

// "bits" or "rate" for process(): one value, a (from, to) sweep across the array as the render
// tool's A:B, or one value per block.
class ControlCurve {
public:
    // A control not given: its default, constant.
    explicit ControlCurve(double value = 0.0) : from(value), to(value) {}
    ControlCurve(const dsp::ControlFacts& control, py::handle value, int64_t blocks) {
        if (isNumber(value)) {
            from = to = numberValue(control, value);
        } else if (py::isinstance<py::tuple>(value)) {
            const auto pair = py::reinterpret_borrow<py::tuple>(value);
            if (pair.size() != 2 || !isNumber(pair[0]) || !isNumber(pair[1])) {
                throw py::value_error(std::string(control.symbol) +
                                      ": a sweep is a tuple of two numbers (from, to)");
            }
            from = numberValue(control, pair[0]);
            to = numberValue(control, pair[1]);
        } else if (py::isinstance<py::list>(value)) {
            throw py::type_error(std::string(control.symbol) +
                                 ": values per block come from a NumPy array (np.array([...])), "
                                 "not a list, whose length would decide the blocks; a sweep is a "
                                 "(from, to) tuple");
        } else if (py::isinstance<py::array>(value)) {
            auto values =
                py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(value);
            if (!values || values.ndim() != 1) {
                throw py::type_error(
                    std::string(control.symbol) +
                    ": values per block must be a one-dimensional array of numbers");
            }
            if (values.size() != blocks) {
                throw py::value_error(std::string(control.symbol) + ": " +
                                      std::to_string(values.size()) + " values given for " +
                                      std::to_string(blocks) + " blocks");
            }
            perBlock.assign(values.data(), values.data() + values.size());
            for (double v : perBlock) checkedValue(control, v);
        } else {
            throw py::type_error(std::string(control.symbol) +
                                 " must be a number, a (from, to) tuple or an array of one value "
                                 "per block; got " +
                                 typeName(value));
        }
    }
    bool perBlockValues() const { return !perBlock.empty(); }
    double block(int64_t index) const { return perBlock[static_cast<size_t>(index)]; }
    // A value or a sweep across the array's `frames` frames, for the engine.
    void enter(dsp::Engine& engine, dsp::ControlIndex control, int64_t frames) const {
        if (!perBlock.empty()) return;
        if (from == to) {
            engine.set(control, from);
        } else {
            engine.sweep(control, from, to, frames);
        }
    }

private:
    double from = 0.0;
    double to = 0.0;
    std::vector<double> perBlock;
};

// A whole number, NumPy's integer scalars included (anything with __index__), but not a bool.
bool isWhole(py::handle value) {
    return PyIndex_Check(value.ptr()) && !PyBool_Check(value.ptr()) &&
           !py::isinstance<py::array>(value);
}
long long wholeValue(py::handle value) {
    return py::cast<long long>(py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr())));
}

// A choice: a name as typed (any case) or its index.
int16_t choiceIndex(const dsp::ControlFacts& control, py::handle value) {
    const std::string names = dsp::choiceList(control, true, ", ", "'");
    if (py::isinstance<py::str>(value)) {
        const std::string text = py::cast<std::string>(value);
        const int index = dsp::choiceIndexOf(control, text);
        if (index >= 0) return static_cast<int16_t>(index);
        throw py::value_error(std::string(control.symbol) + " must be one of " + names + "; got '" +
                              text + "'");
    }
    if (isWhole(value)) {
        const auto index = wholeValue(value);
        if (index >= 0 && index < static_cast<long long>(control.choiceCount)) {
            return static_cast<int16_t>(index);
        }
        throw py::value_error(std::string(control.symbol) + " must be one of " + names +
                              " or their index 0 to " + std::to_string(control.choiceCount - 1) +
                              "; got " + std::to_string(index));
    }
    throw py::type_error(std::string(control.symbol) + " must be a name (" + names + "); got " +
                         typeName(value));
}

float sampleRateOf(py::handle value) {
    if (!isNumber(value)) {
        throw py::type_error("sample_rate must be a number of hertz; got " + typeName(value));
    }
    const double hertz = py::cast<double>(py::float_(py::reinterpret_borrow<py::object>(value)));
    const auto single = static_cast<float>(hertz);
    if (!(std::isfinite(single) && single > 0.0f)) {
        throw py::value_error("sample_rate must be a positive finite number of hertz; got " +
                              formatNumber(hertz));
    }
    return single;
}

// A whole-number argument from 1 to `most`: "block", "channels".
int64_t countOf(py::handle value, const char* name, int64_t most, const char* unit) {
    if (!isWhole(value)) {
        throw py::type_error(std::string(name) + " must be a whole number; got " + typeName(value));
    }
    const long long count = wholeValue(value);
    if (count < 1 || count > most) {
        throw py::value_error(std::string(name) + " must be from 1 to " + std::to_string(most) +
                              unit + "; got " + std::to_string(count));
    }
    return count;
}

// Audio as float32, C-contiguous: float64 is rounded to single precision first, as the effect
// is defined on single-precision samples. `batch`: (batch, channels, frames) is taken too.
py::array_t<float> floatSamples(py::handle audio, const char* argument, bool batch) {
    const std::string name = argument;
    if (audio.is_none()) throw py::type_error(name + " must be an array of numbers; got None");
    // A NumPy array has no such attribute, and asking would raise and format an error each call.
    if (!py::isinstance<py::array>(audio) && py::hasattr(audio, "requires_grad") &&
        py::bool_(audio.attr("requires_grad"))) {
        throw py::type_error(name + " is a tensor that requires grad: pass " + name +
                             ".detach() (the effect has no gradient)");
    }
    py::array array = py::array::ensure(audio);
    if (!array) {
        throw py::type_error(name + " must be an array of numbers (float32 or float64); got " +
                             typeName(audio));
    }
    const py::dtype type = array.dtype();
    if (type.kind() != 'f' || (type.itemsize() != 4 && type.itemsize() != 8)) {
        throw py::type_error(name + " must hold float32 or float64 samples; got " +
                             py::cast<std::string>(type.attr("name")) +
                             " (scale integer PCM to floats first, e.g. x / 32768)");
    }
    if (array.ndim() < 1 || array.ndim() > (batch ? 3 : 2)) {
        throw py::value_error(name + " must be (frames,) or (channels, frames)" +
                              (batch ? std::string(" or (batch, channels, frames)") : "") +
                              "; got " + std::to_string(array.ndim()) + " dimensions");
    }
    return py::array_t<float, py::array::c_style | py::array::forcecast>::ensure(array);
}

// Where channel c's frame i of item b lies in a C-contiguous array, in floats.
struct Layout {
    int64_t items = 1;  // a batch's streams
    int64_t channels = 1;
    int64_t frames = 0;
    int64_t itemStride = 0;
    int64_t channelStride = 0;
    int64_t frameStride = 1;
};

// channels_last as a call gave it: stated, or left for the array's shape to tell.
enum class Order { Unstated, ChannelsFirst, ChannelsLast };

Layout layoutOf(const py::array_t<float>& samples, Order order, const char* argument) {
    Layout layout;
    const ssize_t dimensions = samples.ndim();
    if (dimensions == 1) {
        layout.frames = samples.shape(0);
        return layout;
    }
    const int64_t rows = samples.shape(dimensions - 2), columns = samples.shape(dimensions - 1);
    if (order == Order::Unstated && columns < rows && columns > 0) {
        throw py::value_error(std::string(argument) + " is " + std::to_string(rows) + " by " +
                              std::to_string(columns) +
                              ": fewer frames than channels, so its layout cannot be told from its "
                              "shape; pass channels_last=True for (frames, channels) or "
                              "channels_last=False for (channels, frames)");
    }
    const bool channelsLast = order == Order::ChannelsLast;
    layout.channels = channelsLast ? columns : rows;
    layout.frames = channelsLast ? rows : columns;
    layout.channelStride = channelsLast ? 1 : layout.frames;
    layout.frameStride = channelsLast ? layout.channels : 1;
    if (dimensions == 3) {
        layout.items = samples.shape(0);
        layout.itemStride = rows * columns;
    }
    if (layout.channels < 1 || layout.channels > MAX_CHANNELS) {
        throw py::value_error(
            std::string(argument) + " has " + std::to_string(layout.channels) +
            " channels (at most " + std::to_string(MAX_CHANNELS) + ")" +
            (channelsLast ? "" : "; for (frames, channels) arrays pass channels_last=True"));
    }
    return layout;
}

// Where the output goes: a new array of the input's shape, or `out` (float32, C-contiguous,
// writable, of that shape), which may be the input itself but may not overlap it otherwise.
py::array_t<float> outputFor(const py::array_t<float>& samples, const py::object& out) {
    std::vector<ssize_t> shape(samples.shape(), samples.shape() + samples.ndim());
    if (out.is_none()) return py::array_t<float>(shape);
    if (!py::isinstance<py::array>(out))
        throw py::type_error("out must be a NumPy float32 array; got " + typeName(out));
    const auto target = py::reinterpret_borrow<py::array>(out);
    std::vector<ssize_t> outShape(target.shape(), target.shape() + target.ndim());
    if (!py::isinstance<py::array_t<float>>(target) || target.dtype().kind() != 'f' ||
        target.itemsize() != 4)
        throw py::type_error("out must hold float32 samples");
    if (outShape != shape) throw py::value_error("out must have the shape of audio");
    if (!(target.flags() & py::array::c_style)) throw py::value_error("out must be C-contiguous");
    if (!target.writeable()) throw py::value_error("out is read-only");
    const auto* from = reinterpret_cast<const char*>(samples.data());
    const auto* to = static_cast<const char*>(target.data());
    const auto bytes = static_cast<size_t>(samples.nbytes());
    if (from != to && from < to + bytes && to < from + bytes)
        throw py::value_error("out overlaps audio without being it: pass audio itself or apart");
    return py::reinterpret_borrow<py::array_t<float>>(target);
}

// The engine on an array's channels: straight between the arrays where each channel's frames
// are contiguous, else gathered into planar buffers a piece at a time.
class EngineRunner {
public:
    EngineRunner(float sampleRate, int64_t channels)
        : engine(sampleRate, static_cast<int32_t>(channels)) {}

    // Frames [start, start + count) of every channel.
    void run(const float* in, float* out, const Layout& layout, int64_t start, int64_t count) {
        const auto channels = static_cast<size_t>(engine.channels());
        if (layout.frameStride == 1) {
            for (size_t c = 0; c < channels; ++c) {
                const int64_t first = static_cast<int64_t>(c) * layout.channelStride + start;
                inputs[c] = in + first;
                outputs[c] = out + first;
            }
            engine.process(inputs.data(), outputs.data(), count);
            return;
        }
        if (gathered.empty()) gathered.resize(channels * GATHER_FRAMES);
        for (size_t c = 0; c < channels; ++c) {
            inputs[c] = gathered.data() + c * GATHER_FRAMES;
            outputs[c] = gathered.data() + c * GATHER_FRAMES;
        }
        for (int64_t done = 0; done < count; done += GATHER_FRAMES) {
            const int64_t n = std::min(GATHER_FRAMES, count - done);
            const int64_t first = (start + done) * layout.frameStride;
            for (size_t c = 0; c < channels; ++c) {
                float* planar = gathered.data() + c * GATHER_FRAMES;
                for (int64_t i = 0; i < n; ++i)
                    planar[i] = in[first + i * layout.frameStride + c * layout.channelStride];
            }
            engine.process(inputs.data(), outputs.data(), n);
            for (size_t c = 0; c < channels; ++c) {
                const float* planar = gathered.data() + c * GATHER_FRAMES;
                for (int64_t i = 0; i < n; ++i)
                    out[first + i * layout.frameStride + c * layout.channelStride] = planar[i];
            }
        }
    }

    dsp::Engine engine;

private:
    std::array<const float*, dsp::MOST_CHANNELS> inputs{};
    std::array<float*, dsp::MOST_CHANNELS> outputs{};
    std::vector<float> gathered;  // sized when an array first interleaves channels
};

py::object defaultArgument(dsp::ControlIndex control) {
    const dsp::ControlFacts& row = facts(control);
    if (row.choiceCount > 0)
        return py::str(row.choiceSymbols[static_cast<size_t>(row.defaultValue)]);
    return py::float_(row.defaultValue);
}

// A call's keyword arguments sorted once: each control's (or null), and the others the call
// takes by name (`others`, in order); anything else is named in the error Python itself gives.
// Read from the given keywords (few) rather than looked up per control (many).
template <size_t N>
struct Keywords {
    std::array<py::handle, dsp::CONTROL_COUNT> controls{};
    std::array<py::handle, N> others{};

    Keywords(const char* function, const py::kwargs& given,
             const std::array<const char*, N>& names) {
        for (const auto& [key, value] : given) {
            const char* text = PyUnicode_AsUTF8(key.ptr());
            if (text == nullptr) throw py::error_already_set();
            bool known = false;
            for (size_t i = 0; i < dsp::CONTROL_COUNT && !known; ++i) {
                if (std::strcmp(text, dsp::CONTROLS[i].symbol) == 0) {
                    controls[i] = value;
                    known = true;
                }
            }
            for (size_t i = 0; i < N && !known; ++i) {
                if (std::strcmp(text, names[i]) == 0) {
                    others[i] = value;
                    known = true;
                }
            }
            if (!known) {
                throw py::type_error(std::string(function) +
                                     " got an unexpected keyword argument '" + text + "'");
            }
        }
    }
};

const dsp::ControlFacts& row(size_t index) { return dsp::CONTROLS[index]; }

// preset=: a factory preset by its symbol, whose values the controls not named take; None for
// none.
const dsp::Preset* presetOf(py::handle value) {
    if (!value || value.is_none()) return nullptr;
    std::string names;
    for (const dsp::Preset& known : dsp::PRESETS)
        names += std::string(names.empty() ? "'" : ", '") + known.symbol + "'";
    if (!py::isinstance<py::str>(value))
        throw py::type_error("preset must be one of " + names + "; got " + typeName(value));
    const std::string symbol = py::cast<std::string>(value);
    const dsp::Preset* preset = dsp::presetNamed(symbol);
    if (preset == nullptr)
        throw py::value_error("preset must be one of " + names + "; got '" + symbol + "'");
    return preset;
}

// A control's value where it is not named: its preset's, else its default.
double startingValue(const dsp::Preset* preset, size_t control) {
    return preset != nullptr ? dsp::presetValue(*preset, static_cast<dsp::ControlIndex>(control))
                             : row(control).defaultValue;
}

// A level (drive, mix, gain) takes one number; every other number control a number, a sweep or
// values per block; a choice its name or index. As the engine takes it: a number, or a choice's
// index.
double fixedValue(const dsp::ControlFacts& control, py::handle value, const char* hint) {
    if (control.choiceCount > 0) return choiceIndex(control, value);
    if (!isNumber(value)) {
        const std::string unit =
            *control.unit != '\0' ? std::string(" of ") + control.unit : std::string();
        throw py::type_error(std::string(control.symbol) + " must be a number" +
                             (*hint != '\0' ? std::string(hint) : unit) + "; got " +
                             typeName(value));
    }
    return numberValue(control, value);
}

py::array_t<float> process(const py::object& audio, const py::object& sampleRate,
                           const py::kwargs& options) {
    const Keywords<4> given("process()", options, {"block", "channels_last", "out", "preset"});
    const py::handle block = given.others[0], channelsLast = given.others[1],
                     target = given.others[2];
    const dsp::Preset* preset = presetOf(given.others[3]);
    const float hertz = sampleRateOf(sampleRate);
    const int64_t blockFrames =
        block ? countOf(block, "block", MAX_BLOCK, " frames") : int64_t{DEFAULT_BLOCK};
    const Order order = !channelsLast || channelsLast.is_none() ? Order::Unstated
                        : py::cast<bool>(channelsLast)          ? Order::ChannelsLast
                                                                : Order::ChannelsFirst;
    const py::array_t<float> samples = floatSamples(audio, "audio", true);
    const Layout layout = layoutOf(samples, order, "audio");
    if (layout.frames == 0) throw py::value_error("audio is empty: it has no frames");
    const int64_t blocks = (layout.frames + blockFrames - 1) / blockFrames;
    // Every control checked before anything runs; one not given is its default (no Python
    // object is made for it: a short call costs what its arguments cost).
    std::array<ControlCurve, dsp::CONTROL_COUNT> curves;
    bool perBlock = false;
    for (size_t i = 0; i < dsp::CONTROL_COUNT; ++i) {
        const dsp::ControlFacts& control = row(i);
        const py::handle value = given.controls[i];
        if (!value) {
            curves[i] = ControlCurve(startingValue(preset, i));
            continue;
        }
        if (control.choiceCount > 0 || control.scaling == dsp::StreamScaling::AroundModule) {
            curves[i] = ControlCurve(fixedValue(control, value, ""));
        } else {
            curves[i] = ControlCurve(control, value, blocks);
            perBlock = perBlock || curves[i].perBlockValues();
        }
    }

    py::array_t<float> result =
        outputFor(samples, target ? py::reinterpret_borrow<py::object>(target) : py::none());
    const float* in = samples.data();
    float* out = result.mutable_data();
    {
        py::gil_scoped_release unlocked;
        // Each item of a batch is a stream of its own, with the same settings.
        for (int64_t item = 0; item < layout.items; ++item) {
            const float* itemIn = in + item * layout.itemStride;
            float* itemOut = out + item * layout.itemStride;
            EngineRunner runner(hertz, layout.channels);
            dsp::Engine& engine = runner.engine;
            engine.setBlockFrames(static_cast<int32_t>(blockFrames));
            for (size_t i = 0; i < dsp::CONTROL_COUNT; ++i)
                curves[i].enter(engine, static_cast<dsp::ControlIndex>(i), layout.frames);
            if (!perBlock) {
                runner.run(itemIn, itemOut, layout, 0, layout.frames);
                continue;
            }
            for (int64_t start = 0, index = 0; start < layout.frames;
                 start += blockFrames, ++index) {
                for (size_t i = 0; i < dsp::CONTROL_COUNT; ++i) {
                    if (curves[i].perBlockValues())
                        engine.set(static_cast<dsp::ControlIndex>(i), curves[i].block(index));
                }
                runner.run(itemIn, itemOut, layout, start,
                           std::min(blockFrames, layout.frames - start));
            }
        }
    }
    return result;
}

// The effect on a stream: chunks in, chunks out, the phase and held samples kept between them.
class Grindlet {
public:
    Grindlet(const py::object& sampleRate, const py::object& channelCount,
             const py::kwargs& options)
        : hertz(sampleRateOf(sampleRate)),
          channelsLast(options.contains("channels_last") &&
                       py::cast<bool>(options["channels_last"])),
          runner(hertz, countOf(channelCount, "channels", MAX_CHANNELS, "")) {
        const Keywords<2> given("Grindlet()", options, {"channels_last", "preset"});
        const dsp::Preset* preset = presetOf(given.others[1]);
        for (size_t i = 0; i < dsp::CONTROL_COUNT; ++i) values[i] = startingValue(preset, i);
        apply(options);
    }

    // Controls take effect at the next chunk (the levels ramp there over a few milliseconds).
    void set(const py::kwargs& options) {
        const Keywords<1> given("set()", options, {"preset"});
        const dsp::Preset* preset = presetOf(given.others[0]);
        const std::unique_lock<std::mutex> running(busy, std::try_to_lock);
        if (!running.owns_lock()) throw std::runtime_error(IN_USE);
        // A preset sets every control (the ones named with it override it).
        if (preset != nullptr)
            for (size_t i = 0; i < dsp::CONTROL_COUNT; ++i) values[i] = startingValue(preset, i);
        apply(options);
    }

    py::array_t<float> process(const py::object& chunk) {
        const py::array_t<float> samples = floatSamples(chunk, "chunk", false);
        const Layout layout =
            layoutOf(samples, channelsLast ? Order::ChannelsLast : Order::ChannelsFirst, "chunk");
        if (layout.channels != channels()) {
            throw py::value_error("chunk has " + std::to_string(layout.channels) +
                                  " channels; this Grindlet was made for " +
                                  std::to_string(channels()));
        }
        std::vector<ssize_t> shape(samples.shape(), samples.shape() + samples.ndim());
        py::array_t<float> result(shape);
        const float* in = samples.data();
        float* out = result.mutable_data();
        {
            py::gil_scoped_release unlocked;
            std::unique_lock<std::mutex> running(busy, std::try_to_lock);
            if (!running.owns_lock()) throw std::runtime_error(IN_USE);
            runner.run(in, out, layout, 0, layout.frames);
        }
        return result;
    }

    void reset() {
        py::gil_scoped_release unlocked;
        std::lock_guard<std::mutex> running(busy);
        runner.engine.reset();
    }

    double sampleRate() const { return hertz; }
    int64_t channels() const { return runner.engine.channels(); }
    // A control as it was given: a number, or a choice's symbol.
    py::object current(size_t index) const {
        const dsp::ControlFacts& control = row(index);
        if (control.choiceCount > 0)
            return py::str(control.choiceSymbols[static_cast<size_t>(values[index])]);
        return py::float_(values[index]);
    }

private:
    static constexpr const char* IN_USE =
        "this Grindlet is processing in another thread: give each thread its own";

    // Checks every value given before any changes.
    void apply(const py::kwargs& options) {
        double wanted[dsp::CONTROL_COUNT];
        std::copy(std::begin(values), std::end(values), wanted);
        for (size_t i = 0; i < dsp::CONTROL_COUNT; ++i) {
            if (!options.contains(row(i).symbol)) continue;
            const py::object value = options[row(i).symbol];
            if (!value.is_none())
                wanted[i] = fixedValue(row(i), value,
                                       " for a stream (change it between chunks with set())");
        }
        for (size_t i = 0; i < dsp::CONTROL_COUNT; ++i) {
            values[i] = wanted[i];
            runner.engine.set(static_cast<dsp::ControlIndex>(i), values[i]);
        }
    }

    float hertz;
    bool channelsLast;
    EngineRunner runner;
    double values[dsp::CONTROL_COUNT] = {};  // as given (a choice: its index)
    std::mutex busy;
};

// ---- augmentation: settings drawn per item in C++, and the items processed in one call --------

// A key of Python's as stable bits: an int, a str or bytes (by their bytes), or a tuple of them;
// each kind tagged, so that 1 and "1" draw apart.
uint64_t textBits(const char* data, size_t size, uint64_t tag) {
    uint64_t h = 0xCBF29CE484222325ull ^ tag;  // FNV-1a
    for (size_t i = 0; i < size; ++i)
        h = (h ^ static_cast<unsigned char>(data[i])) * 0x100000001B3ull;
    return dsp::mixedBits(h);
}

uint64_t keyBits(py::handle key, int depth = 0) {
    if (PyBool_Check(key.ptr()) || depth > 8) {
        throw py::type_error("key must be an int, a str, bytes or a tuple of them; got " +
                             typeName(key));
    }
    if (isWhole(key)) {
        // Any size of int: its decimal digits, as bytes.
        const std::string digits = py::repr(py::int_(py::reinterpret_borrow<py::object>(key)));
        return textBits(digits.data(), digits.size(), 1);
    }
    if (py::isinstance<py::str>(key)) {
        const std::string text = py::cast<std::string>(key);
        return textBits(text.data(), text.size(), 2);
    }
    if (py::isinstance<py::bytes>(key)) {
        const std::string bytes = py::cast<std::string>(py::reinterpret_borrow<py::bytes>(key));
        return textBits(bytes.data(), bytes.size(), 3);
    }
    if (py::isinstance<py::tuple>(key)) {
        uint64_t folded = 4;
        for (py::handle part : py::reinterpret_borrow<py::tuple>(key))
            folded = dsp::keyOf(folded, keyBits(part, depth + 1));
        return folded;
    }
    throw py::type_error("key must be an int, a str, bytes or a tuple of them; got " +
                         typeName(key));
}

// What each kind of key draws from, kept apart.
constexpr uint64_t KEYED = 1, COUNTED = 2, AMBIENT = 3;

class Augmenter {
public:
    Augmenter(const py::object& p, const py::object& seed, const py::object& block,
              const py::kwargs& rules)
        : blockFrames(block.is_none() ? DEFAULT_BLOCK
                                      : countOf(block, "block", MAX_BLOCK, " frames")) {
        if (!isNumber(p) || PyBool_Check(p.ptr()))
            throw py::type_error("p must be a number from 0 to 1; got " + typeName(p));
        const double share = py::cast<double>(py::float_(p));
        if (!(share >= 0.0 && share <= 1.0))
            throw py::value_error("p must be from 0 to 1; got " + formatNumber(share));
        drawing.p = share;
        if (!seed.is_none()) {
            if (PyBool_Check(seed.ptr()) || !isWhole(seed))
                throw py::type_error(
                    "seed must be a whole number from 0 up, a NumPy Generator or None; got " +
                    typeName(seed));
            if (py::int_(seed) < py::int_(0))
                throw py::value_error("seed must be a whole number from 0 up; got " +
                                      std::string(py::str(seed)));
            ownSeed = true;
            seedBits = keyBits(seed);
        }
        for (size_t i = 0; i < dsp::CONTROL_COUNT; ++i) {
            dsp::DrawRule& rule = drawing.rules[i];
            rule.kind = dsp::DrawRule::Kind::Fixed;
            rule.low = row(i).defaultValue;
        }
        for (const auto& [name, value] : rules) {
            const std::string symbol = py::str(name);
            const auto found =
                std::find_if(std::begin(dsp::CONTROLS), std::end(dsp::CONTROLS),
                             [&](const dsp::ControlFacts& c) { return symbol == c.symbol; });
            if (found == std::end(dsp::CONTROLS) ||
                found - std::begin(dsp::CONTROLS) == dsp::CONTROL_SEED)
                throw py::type_error(
                    "RandomGrindlet() got an unexpected keyword argument '" + symbol +
                    (symbol == "seed" ? "' (each item draws the effect's own seed)" : "'"));
            ruleOf(*found, py::reinterpret_borrow<py::object>(value),
                   drawing.rules[static_cast<size_t>(found - std::begin(dsp::CONTROLS))]);
        }
    }

    void setEpoch(const py::object& epoch) { currentEpoch = epochOf(epoch); }
    int64_t epoch() const { return currentEpoch; }
    bool seeded() const { return ownSeed; }
    int64_t calls() const { return counter; }

    // The effect on each item with the settings its key draws (the coin may leave it as it is).
    // Returns (output float32 or None where every item was left, params or None, and for a
    // batch the items left as they are, as a bool array).
    py::tuple apply(const py::object& audio, const py::object& sampleRate, const py::object& key,
                    const py::object& epoch, uint64_t ambient, uint64_t salt, bool wantParams) {
        // Everything checked before the coin: the same errors whatever it says.
        const float hertz = sampleRateOf(sampleRate);
        const py::array_t<float> samples = floatSamples(audio, "audio", true);
        const Layout layout = layoutOf(samples, Order::ChannelsFirst, "audio");
        if (layout.frames == 0) throw py::value_error("audio is empty: it has no frames");
        uint64_t callKey;
        if (!key.is_none()) {
            const int64_t e = epoch.is_none() ? currentEpoch : epochOf(epoch);
            callKey = dsp::keyOf(
                dsp::keyOf(dsp::keyOf(seedBits, static_cast<uint64_t>(e)), keyBits(key)), KEYED);
        } else if (ownSeed) {
            callKey = dsp::keyOf(
                dsp::keyOf(dsp::keyOf(seedBits, salt), static_cast<uint64_t>(counter++)), COUNTED);
        } else {
            callKey = dsp::keyOf(ambient, AMBIENT);
        }
        std::vector<std::array<double, dsp::CONTROL_COUNT>> values(
            static_cast<size_t>(layout.items));
        std::vector<bool> chosen(static_cast<size_t>(layout.items));
        bool any = false;
        for (int64_t item = 0; item < layout.items; ++item) {
            const uint64_t itemKey = dsp::keyOf(callKey, static_cast<uint64_t>(item));
            chosen[static_cast<size_t>(item)] = dsp::applied(drawing, itemKey);
            if (!chosen[static_cast<size_t>(item)]) continue;
            any = true;
            dsp::drawValues(drawing, itemKey, values[static_cast<size_t>(item)].data());
        }
        py::object params = py::none();
        if (wantParams) {
            py::list list;
            for (int64_t item = 0; item < layout.items; ++item) {
                if (!chosen[static_cast<size_t>(item)]) {
                    list.append(py::none());
                    continue;
                }
                py::dict settings;
                for (size_t i = 0; i < dsp::CONTROL_COUNT; ++i) {
                    const double v = values[static_cast<size_t>(item)][i];
                    if (row(i).choiceCount > 0)
                        settings[row(i).symbol] = row(i).choiceSymbols[static_cast<size_t>(v)];
                    else
                        settings[row(i).symbol] = v;
                }
                list.append(settings);
            }
            params = list;
        }
        py::object left = py::none();
        if (samples.ndim() == 3) {
            py::array_t<bool> mask(layout.items);
            for (int64_t item = 0; item < layout.items; ++item)
                mask.mutable_at(item) = !chosen[static_cast<size_t>(item)];
            left = mask;
        }
        if (!any) return py::make_tuple(py::none(), params, left);
        std::vector<ssize_t> shape(samples.shape(), samples.shape() + samples.ndim());
        py::array_t<float> result(shape);
        const float* in = samples.data();
        float* out = result.mutable_data();
        {
            py::gil_scoped_release unlocked;
            EngineRunner& runner = cachedRunner(hertz, layout.channels);
            dsp::Engine& engine = runner.engine;
            for (int64_t item = 0; item < layout.items; ++item) {
                const int64_t at = item * layout.itemStride;
                if (!chosen[static_cast<size_t>(item)]) {
                    std::copy(in + at, in + at + layout.channels * layout.frames, out + at);
                    continue;
                }
                engine.reset();
                engine.setEnabled(true);
                engine.setBlockFrames(static_cast<int32_t>(blockFrames));
                for (size_t i = 0; i < dsp::CONTROL_COUNT; ++i)
                    engine.set(static_cast<dsp::ControlIndex>(i),
                               values[static_cast<size_t>(item)][i]);
                runner.run(in + at, out + at, layout, 0, layout.frames);
            }
        }
        return py::make_tuple(result, params, left);
    }

private:
    static int64_t epochOf(const py::object& epoch) {
        if (!isWhole(epoch))
            throw py::type_error("epoch must be a whole number from 0 up; got " + typeName(epoch));
        const long long value = wholeValue(epoch);
        if (value < 0)
            throw py::value_error("epoch must be a whole number from 0 up; got " +
                                  std::to_string(value));
        return value;
    }

    // A control's rule as given: a value or a (low, high) range for a number, a choice or a
    // list of choices (each by name or index, as process() takes them).
    static void ruleOf(const dsp::ControlFacts& control, const py::object& value,
                       dsp::DrawRule& rule) {
        const bool several = py::isinstance<py::tuple>(value) || py::isinstance<py::list>(value);
        if (control.choiceCount > 0) {
            rule.kind = dsp::DrawRule::Kind::Choices;
            const py::sequence names =
                several ? py::reinterpret_borrow<py::sequence>(value)
                        : py::reinterpret_borrow<py::sequence>(py::make_tuple(value));
            if (names.size() == 0 || names.size() > size_t(dsp::DrawRule::MOST_CHOICES))
                throw py::value_error(std::string(control.symbol) + ": give one to " +
                                      std::to_string(dsp::DrawRule::MOST_CHOICES) + " choices");
            for (py::handle name : names)
                rule.choices[rule.choiceCount++] = choiceIndex(control, name);
            return;
        }
        if (!several) {
            rule.low = rule.high = numberValue(control, value);
            return;
        }
        const py::sequence bounds = py::reinterpret_borrow<py::sequence>(value);
        if (bounds.size() != 2)
            throw py::value_error(std::string(control.symbol) + ": a range is (low, high); got " +
                                  std::to_string(bounds.size()) + " values");
        rule.kind = dsp::DrawRule::Kind::Range;
        rule.low = numberValue(control, bounds[0]);
        rule.high = numberValue(control, bounds[1]);
        rule.logarithmic = control.logarithmic;
        if (rule.low > rule.high)
            throw py::value_error(std::string(control.symbol) + ": the range (" +
                                  formatNumber(rule.low) + ", " + formatNumber(rule.high) +
                                  ") runs backwards; give (low, high)");
    }

    // One engine a thread for each rate and channel count, made again only where they change.
    static EngineRunner& cachedRunner(float hertz, int64_t channels) {
        thread_local std::unique_ptr<EngineRunner> runner;
        if (!runner || runner->engine.sampleRate() != hertz ||
            runner->engine.channels() != channels)
            runner = std::make_unique<EngineRunner>(hertz, channels);
        return *runner;
    }

    dsp::DrawRules drawing;
    int64_t blockFrames;
    bool ownSeed = false;
    uint64_t seedBits = 0;
    int64_t currentEpoch = 0;
    int64_t counter = 0;
};

// One file of the batch, rendered by the render tool's own job (so the batch keeps the tool's
// promises about the files it writes) into `target`, the batch's own partial file, which it
// replaces; the container is `container`'s, the sample format the input's where it holds it.
py::dict renderFile(const std::string& source, const std::string& target,
                    const std::string& container, const py::dict& settings) {
    grindlet::render::RenderOptions options;
    options.inputGiven = true;
    options.input = source;
    options.inputs = {source};
    options.output = target;
    options.type = container;
    options.force = true;
    for (const auto& [key, value] : settings) {
        const std::string symbol = py::str(key);
        const dsp::ControlFacts* row = nullptr;
        for (const dsp::ControlFacts& control : dsp::CONTROLS)
            if (symbol == control.symbol) row = &control;
        if (row == nullptr) throw py::value_error("no control is named '" + symbol + "'");
        const double number =
            row->choiceCount > 0 ? double(choiceIndex(*row, value)) : numberValue(*row, value);
        options.controls[static_cast<size_t>(row - dsp::CONTROLS)] = {number, number};
    }
    grindlet::render::JobReport report;
    report.messages = false;
    report.wholeOrNothing = true;
    // A signal (a worker's SIGTERM, Ctrl-C) stops the render between chunks.
    int chunks = 0;
    report.keepGoing = [&chunks] {
        constexpr int CHUNKS_BETWEEN_LOOKS = 16;
        if (++chunks % CHUNKS_BETWEEN_LOOKS != 0) return true;
        py::gil_scoped_acquire locked;
        return PyErr_CheckSignals() == 0;
    };
    std::string error;
    bool rendered = false;
    {
        py::gil_scoped_release unlocked;
        rendered = grindlet::render::renderJob(options, report, error);
    }
    if (PyErr_Occurred() != nullptr) throw py::error_already_set();
    if (!rendered) {
        // The message names the files as their bytes are: decoded as Python decodes file names.
        const py::object message =
            py::reinterpret_steal<py::object>(PyUnicode_DecodeFSDefault(error.c_str()));
        if (message) PyErr_SetObject(PyExc_OSError, message.ptr());
        throw py::error_already_set();
    }
    py::dict result;
    result["frames"] = report.frames;
    result["channels"] = report.channels;
    result["sample_rate"] = report.sampleRate;
    return result;
}

// The table of controls as Python sees it: one dict per control.
py::tuple controlTable() {
    py::list rows;
    for (const dsp::ControlFacts& row : dsp::CONTROLS) {
        py::dict entry;
        entry["symbol"] = row.symbol;
        entry["name"] = row.name;
        entry["unit"] = row.unit;
        entry["minimum"] = row.minimum;
        entry["maximum"] = row.maximum;
        entry["minimum_excluded"] = row.minimumExcluded;
        entry["logarithmic"] = row.logarithmic;
        py::list choices;
        for (size_t i = 0; i < row.choiceCount; ++i) choices.append(row.choiceSymbols[i]);
        entry["choices"] = py::tuple(choices);
        py::list names;  // as a host shows them
        for (size_t i = 0; i < row.choiceCount; ++i) names.append(row.choices[i]);
        entry["choice_names"] = py::tuple(names);
        entry["default"] = defaultArgument(static_cast<dsp::ControlIndex>(&row - dsp::CONTROLS));
        entry["description"] = row.what;
        entry["range"] = rangeText(row);  // what it accepts, in words: "from 0 to 32 bits"
        rows.append(entry);
    }
    return py::tuple(rows);
}

// The factory presets as Python sees them: symbol, label, and every control's value (a choice
// by its name), as process(preset=...) applies them.
py::tuple presetTable() {
    py::list presets;
    for (const dsp::Preset& preset : dsp::PRESETS) {
        py::dict settings;
        for (size_t i = 0; i < dsp::CONTROL_COUNT; ++i) {
            const double value = startingValue(&preset, i);
            if (row(i).choiceCount > 0)
                settings[row(i).symbol] = row(i).choiceSymbols[static_cast<size_t>(value)];
            else
                settings[row(i).symbol] = value;
        }
        py::dict entry;
        entry["symbol"] = preset.symbol;
        entry["label"] = preset.label;
        entry["settings"] = settings;
        presets.append(entry);
    }
    return py::tuple(presets);
}

constexpr const char* PROCESS_DOC =
    R"(process(audio, sample_rate, *, preset=None, {KEYWORDS}, block=512, channels_last=None, out=None)
--

Renders audio through the effect and returns a new float32 array of the same shape.

audio: (frames,) or (channels, frames) float32 or float64 samples; (frames, channels) with
    channels_last=True (a 2-D array with fewer frames than channels needs channels_last stated);
    or a batch (batch, channels, frames), each item a stream of its own with the same settings,
    in one call. float64 is rounded to float32 first: the effect is defined on single
    precision. NaN and infinities are processed as any sample.
out: a float32 array of audio's shape to write into (audio itself for in place); returned.
sample_rate: the audio's rate in hertz.
preset: a factory preset's name (PRESETS): the controls not named take its values.
{CONTROLS}
Every number but drive, mix and gain: a number; a (from, to) tuple that sweeps linearly across
    the array; or an array of one value per block of `block` frames. Read once at each block's
    first frame, as a host does. A choice: its name or index. At their defaults drive, mix and
    gain do nothing at all, and no stage after them runs.
block: frames per block, as a host's block size (1 to {MOST_BLOCK}).

The output is bit for bit what grindlet-render --format float writes for the same settings.)";

constexpr const char* GRINDLET_DOC =
    R"(Grindlet(sample_rate, channels, *, channels_last=False, preset=None, {KEYWORDS})
--

The effect on a stream, one chunk at a time. process(chunk) takes (frames,) for mono or
(channels, frames) ((frames, channels) with channels_last=True) and keeps the phase and held samples between calls: any chunking gives
the bits of one process() call on the whole signal. set(...) changes controls from the next
chunk on (drive, mix and gain ramp over {SMOOTHING} ms, without clicks); reset() starts over as a fresh
object.)";

// The controls for a docstring, one per line: "bits: bit depth kept, ...; 0 to 32 bits, default 8."
std::string controlLines() {
    std::string lines;
    for (const dsp::ControlFacts& row : dsp::CONTROLS) {
        std::string line = std::string(row.symbol) + ": " + row.brief + "; ";
        if (row.choiceCount > 0) {
            line += "one of";
            for (size_t i = 0; i < row.choiceCount; ++i)
                line += std::string(i == 0 ? " '" : ", '") + row.choiceSymbols[i] + "'";
        } else {
            line += rangeText(row);
        }
        line += ", default " +
                py::cast<std::string>(py::repr(
                    defaultArgument(static_cast<dsp::ControlIndex>(&row - dsp::CONTROLS)))) +
                ".";
        // Wrapped at 96 columns, the continuation indented.
        for (size_t width = 96, at = 0; line.size() - at > width;) {
            const size_t space = line.rfind(' ', at + width);
            if (space == std::string::npos || space <= at) break;
            line.replace(space, 1, "\n    ");
            at = space + 5;
            width = 92;
        }
        lines += line + "\n";
    }
    lines.pop_back();
    return lines;
}

// "bits=8.0, rate=8000.0, quantize='round', ...": every control with its default.
// unchanged: "bits=None, ..." (a control left as it is).
std::string keywordDefaults(bool unchanged = false) {
    std::string keywords;
    for (const dsp::ControlFacts& row : dsp::CONTROLS) {
        if (!keywords.empty()) keywords += ", ";
        keywords += row.symbol;
        keywords += '=';
        keywords += unchanged ? std::string("None")
                              : py::cast<std::string>(py::repr(defaultArgument(
                                    static_cast<dsp::ControlIndex>(&row - dsp::CONTROLS))));
    }
    return keywords;
}

// A doc text with the shared facts filled in; kept for the module's life (pybind11 keeps the
// pointer).
const char* withFacts(const char* text) {
    static std::vector<std::unique_ptr<std::string>> kept;
    std::string filled = text;
    const std::pair<const char*, std::string> facts[] = {
        {"{CONTROLS}", controlLines()},
        {"{KEYWORDS}", keywordDefaults()},
        {"{UNCHANGED}", keywordDefaults(true)},
        {"{MOST_BLOCK}", std::to_string(dsp::MOST_BLOCK_FRAMES)},
        {"{SMOOTHING}",
         std::to_string(static_cast<int>(dsp::LevelStage::SMOOTHING_SECONDS * 1000.0 + 0.5))}};
    for (const auto& [mark, value] : facts) {
        for (size_t at; (at = filled.find(mark)) != std::string::npos;)
            filled.replace(at, std::string(mark).size(), value);
    }
    kept.push_back(std::make_unique<std::string>(std::move(filled)));
    return kept.back()->c_str();
}

}  // namespace

PYBIND11_MODULE(_grindlet, module) {
    // Each docstring starts with its signature as Python writes it, which inspect.signature and
    // editors read (pybind11's own would show every control as **kwargs).
    py::options options;
    options.disable_function_signatures();
    module.doc() = "QZ-Grindlet's sample-rate and bit-depth reduction on NumPy arrays.";
    module.attr("CONTROLS") = controlTable();
    module.attr("PRESETS") = presetTable();
    module.attr("MOST_JOBS") = dsp::MOST_JOBS;
    module.def("_render_file", &renderFile, py::arg("source"), py::arg("target"),
               py::arg("container"), py::arg("settings"),
               "_render_file(source, target, container, settings)\n--\n\nThe batch's one file, as "
               "grindlet-render renders it (the GIL released); the paths as str or, for any name "
               "the file system holds, os.fsencode's bytes.");
    module.def("process", &process, withFacts(PROCESS_DOC), py::arg("audio"),
               py::arg("sample_rate"));
    py::class_<Grindlet> grindlet(module, "Grindlet", withFacts(GRINDLET_DOC));
    grindlet
        .def(py::init<const py::object&, const py::object&, const py::kwargs&>(),
             py::arg("sample_rate"), py::arg("channels"),
             withFacts("__init__(self, /, sample_rate, channels, *, channels_last=False, "
                       "preset=None, {KEYWORDS})\n--\n\nA stream of `channels` channels at "
                       "`sample_rate`, its controls from `preset` (a factory preset's name) where "
                       "not named."))
        .def("process", &Grindlet::process, py::arg("chunk"),
             "process(self, /, chunk)\n--\n\nRenders the next chunk; returns a new float32 array "
             "of its shape.")
        .def("set", &Grindlet::set,
             withFacts(
                 "set(self, /, *, preset=None, {UNCHANGED})\n--\n\nChanges controls from the next "
                 "chunk on (None: as it is); drive, mix and gain ramp there over {SMOOTHING} "
                 "ms."))
        .def("reset", &Grindlet::reset,
             "reset(self, /)\n--\n\nForgets the stream: the next chunk starts afresh.")
        .def_property_readonly("sample_rate", &Grindlet::sampleRate)
        .def_property_readonly("channels", &Grindlet::channels);
    py::class_<Augmenter>(module, "_Augmenter",
                          "The core of RandomGrindlet: its rules, and items processed with the "
                          "settings each draws.")
        .def(py::init<const py::object&, const py::object&, const py::object&, const py::kwargs&>(),
             py::arg("p"), py::arg("seed"), py::arg("block"))
        .def("apply", &Augmenter::apply, py::arg("audio"), py::arg("sample_rate"), py::arg("key"),
             py::arg("epoch"), py::arg("ambient"), py::arg("salt"), py::arg("want_params"))
        .def("set_epoch", &Augmenter::setEpoch, py::arg("epoch"))
        .def_property_readonly("epoch", &Augmenter::epoch)
        .def_property_readonly("seeded", &Augmenter::seeded)
        .def_property_readonly("calls", &Augmenter::calls);
    // Each control as a property: its value as given, a choice by its name.
    for (size_t i = 0; i < dsp::CONTROL_COUNT; ++i) {
        grindlet.def_property_readonly(dsp::CONTROLS[i].symbol,
                                       [i](const Grindlet& self) { return self.current(i); });
    }
}
