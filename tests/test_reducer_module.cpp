// The effect as the host sees it: identity, pins, open, routine selection and wind-down.
#include <gtest/gtest.h>

#include <climits>

#include <ostream>

#include <cstring>
#include <string>
#include <vector>

#include "effect/exports.h"
#include "effect/pin_table.h"
#include "effect/reducer_module.h"
#include "float_bits.h"
#include "recording_host.h"

namespace grindlet::test {
namespace {

TEST(Identity, IndexZeroFillsTheTextsAndLeavesTheHostsWords) {
    ModuleInfo info;
    std::memset(&info, 0x5A, sizeof info);
    EXPECT_EQ(getModuleProperties(0, &info), 1);
    EXPECT_STREQ(info.name, "QZ-Grindlet");
    EXPECT_STREQ(info.id, "QZ-Grindlet");
    EXPECT_EQ(std::string(info.about).rfind("Grindlet v1.2\n", 0), 0u);
    EXPECT_EQ(info.hostWord12, 0x5A5A5A5Au);
    EXPECT_EQ(info.hostWord16, 0x5A5A5A5Au);
    EXPECT_EQ(info.sdkVersion, 2150);
}

TEST(Identity, OtherIndicesWriteOnlyTheVersion) {
    for (int32_t index : {1, -1, 100}) {
        ModuleInfo info{};
        EXPECT_EQ(getModuleProperties(index, &info), 0);
        EXPECT_EQ(info.name, nullptr);
        EXPECT_EQ(info.id, nullptr);
        EXPECT_EQ(info.about, nullptr);
        EXPECT_EQ(info.sdkVersion, 2150);
    }
    EXPECT_EQ(getModuleProperties(0, nullptr), 0);
}

TEST(MakeModule, ServesOnlyIndexZeroKindOne) {
    RecordingHost host;
    EXPECT_EQ(makeModule(0, 2, RecordingHost::callback(), host.handle()), nullptr);
    EXPECT_EQ(makeModule(1, 1, RecordingHost::callback(), host.handle()), nullptr);
    EXPECT_EQ(makeModule(0, 0, RecordingHost::callback(), host.handle()), nullptr);
    EXPECT_TRUE(host.calls.empty());
    ModuleBlock* a = makeModule(0, 1, RecordingHost::callback(), host.handle());
    ModuleBlock* b = makeModule(0, 1, RecordingHost::callback(), host.handle());
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    EXPECT_NE(a->object, b->object);
    EXPECT_EQ(static_cast<ModuleBase*>(a->object)->getBlock(), a);
    EXPECT_TRUE(host.calls.empty());
    EXPECT_EQ(a->dispatcher(a, OP_CLOSE, 0, 0, nullptr, 0.0f), 1);
    EXPECT_EQ(b->dispatcher(b, OP_CLOSE, 0, 0, nullptr, 0.0f), 1);
}

TEST(PinTable, SixPinsExactlyAsDescribed) {
    RecordingHost host;
    ModuleBlock* block = makeModule(0, 1, RecordingHost::callback(), host.handle());
    const auto& rows = PIN_TABLE;
    std::vector<void*> variables;
    for (int32_t i = 0; i < 6; ++i) {
        PinInfo info{};
        ASSERT_EQ(block->dispatcher(block, OP_GET_PIN_INFO, i, 0, &info, 0.0f), 1) << i;
        EXPECT_STREQ(info.name, rows[i].name);
        EXPECT_EQ(info.direction, rows[i].direction) << i;
        EXPECT_EQ(info.datatype, rows[i].datatype) << i;
        if (rows[i].defaultValue) {
            EXPECT_STREQ(info.defaultValue, rows[i].defaultValue);
        } else {
            EXPECT_EQ(info.defaultValue, nullptr) << "left as the caller cleared it";
        }
        if (rows[i].datatypeExtra) {
            EXPECT_STREQ(info.datatypeExtra, rows[i].datatypeExtra);
        } else {
            EXPECT_EQ(info.datatypeExtra, nullptr);
        }
        EXPECT_EQ(info.flags, 0u);
        EXPECT_NE(info.variable, nullptr);
        variables.push_back(info.variable);
    }
    // Members in declaration order: four buffers, then (later) the two list selections.
    const auto* object = static_cast<const char*>(block->object);
    for (int i = 1; i < 4; ++i) {
        EXPECT_EQ(static_cast<char*>(variables[i]) - static_cast<char*>(variables[i - 1]), 4);
    }
    EXPECT_GT(static_cast<const char*>(variables[4]), static_cast<const char*>(variables[3]));
    EXPECT_EQ(static_cast<char*>(variables[5]) - static_cast<char*>(variables[4]), 2);
    EXPECT_GT(static_cast<const char*>(variables[0]), object);
    PinInfo untouched;
    std::memset(&untouched, 0x33, sizeof untouched);
    PinInfo probe = untouched;
    EXPECT_EQ(block->dispatcher(block, OP_GET_PIN_INFO, 6, 0, &probe, 0.0f), 0);
    EXPECT_EQ(block->dispatcher(block, OP_GET_PIN_INFO, -1, 0, &probe, 0.0f), 0);
    EXPECT_EQ(std::memcmp(&probe, &untouched, sizeof probe), 0);
    block->dispatcher(block, OP_CLOSE, 0, 0, nullptr, 0.0f);
}

// An effect object with its buffers, as a host would set it up.
class Effect : public ::testing::Test {
protected:
    static constexpr int32_t LENGTH = 2048;
    RecordingHost host;
    ModuleBlock* block = nullptr;
    std::vector<float> input = std::vector<float>(LENGTH, 0.0f);
    std::vector<float> bits = std::vector<float>(LENGTH, 2.4f);
    std::vector<float> rate = std::vector<float>(LENGTH, 1102.5f);
    std::vector<float> output = std::vector<float>(LENGTH, 0.0f);
    int16_t* quantMode = nullptr;
    int16_t* rateMode = nullptr;

    void SetUp() override { make(); }
    void TearDown() override {
        if (block) block->dispatcher(block, OP_CLOSE, 0, 0, nullptr, 0.0f);
    }
    void make() { block = makeModule(0, 1, RecordingHost::callback(), host.handle()); }
    void open() {
        block->dispatcher(block, OP_OPEN, 0, 0, nullptr, 0.0f);
        float* streams[4] = {input.data(), bits.data(), rate.data(), output.data()};
        for (int32_t i = 0; i < host.getReportedPinCount() && i < 6; ++i) {
            PinInfo info{};
            block->dispatcher(block, OP_GET_PIN_INFO, i, 0, &info, 0.0f);
            if (i < 4) std::memcpy(info.variable, &streams[i], sizeof(float*));
            if (i == 4) quantMode = static_cast<int16_t*>(info.variable);
            if (i == 5) rateMode = static_cast<int16_t*>(info.variable);
        }
    }
    ReducerModule& module() {
        return *static_cast<ReducerModule*>(static_cast<ModuleBase*>(block->object));
    }
    void status(int32_t pin, int32_t value) {
        ModuleEvent event{0, EVENT_PIN_STATUS, value, 0, static_cast<uint32_t>(pin), 0};
        block->event(block->object, &event);
    }
    void process(int32_t offset, int32_t count) { block->process(block->object, offset, count); }
};

TEST_F(Effect, OpenAsksForThePinCountAndDeclaresTheOutputStreaming) {
    host.setBlockPosition(77);
    open();
    const std::vector<RecordedCall> expected = {
        {nullptr, HOST_GET_PIN_COUNT, 0, 0, 0, 0},
        {nullptr, HOST_GET_BLOCK_POSITION, 0, 0, 0, 0},
        {nullptr, HOST_SET_PIN_STATUS, 3, STATUS_STREAMING, 77, 0}};
    EXPECT_EQ(host.calls, expected);
    const dsp::RateReducerState& s = module().reducerState();
    EXPECT_TRUE(sameBits(s.samplePeriod, static_cast<float>(1.0 / 44100.0)));
    EXPECT_EQ(s.quantizer.lastBits, -1e8f);
    EXPECT_EQ(s.lastRate, -1e7f);
    for (float member : {s.holdPhase, s.heldValue, s.previousHeld, s.rampValue, s.rampStep,
                         s.quantizer.quantScale, s.quantizer.quantInverse}) {
        EXPECT_TRUE(sameBits(member, 0.0f));
    }
}

TEST_F(Effect, SamplePeriodComesFromTheRateSetBeforeOpen) {
    block->dispatcher(block, OP_SET_SAMPLE_RATE, 0, 0, nullptr, 48000.0f);
    open();
    block->dispatcher(block, OP_SET_SAMPLE_RATE, 0, 0, nullptr, 96000.0f);
    EXPECT_TRUE(sameBits(module().reducerState().samplePeriod, static_cast<float>(1.0 / 48000.0)));
}

TEST_F(Effect, BeforeAnyStatusChangeTheEmptyRoutineWritesNothing) {
    open();
    std::fill(output.begin(), output.end(), 9.0f);
    process(0, 64);
    EXPECT_EQ(output[0], 9.0f);
    EXPECT_EQ(block->process, &ModuleBase::emptyRoutine);
}

TEST_F(Effect, StreamingInputSelectsTheRoutineByRateMode) {
    open();
    host.calls.clear();
    host.setBlockPosition(5);
    status(0, STATUS_STREAMING);
    EXPECT_EQ(block->process, &ReducerModule::processStep);
    const std::vector<RecordedCall> expected = {
        {nullptr, HOST_GET_BLOCK_POSITION, 0, 0, 0, 0},
        {nullptr, HOST_SET_PIN_STATUS, 3, STATUS_STREAMING, 5, 0},
        {nullptr, HOST_PROCESS_CHANGED, 0, 0, 0, 0}};
    EXPECT_EQ(host.calls, expected);

    host.calls.clear();
    status(0, STATUS_STREAMING);  // same choice: published once only
    EXPECT_EQ(host.count(HOST_PROCESS_CHANGED), 0u);
    EXPECT_EQ(host.count(HOST_SET_PIN_STATUS), 1u);

    *rateMode = 1;
    status(5, STATUS_STATIC);  // a change of "R.Mode" re-selects at once
    EXPECT_EQ(block->process, &ReducerModule::processLinear);
    EXPECT_EQ(host.count(HOST_PROCESS_CHANGED), 1u);

    host.calls.clear();
    status(1, STATUS_STREAMING);  // "Bits" alone: the output status again, the routine stays
    EXPECT_EQ(host.opcodes(), (std::vector<int32_t>{HOST_GET_BLOCK_POSITION, HOST_SET_PIN_STATUS}));
    EXPECT_EQ(host.calls[1].value, STATUS_STREAMING);
    EXPECT_EQ(block->process, &ReducerModule::processLinear);
}

struct WindDownCase {
    const char* name;
    int32_t inputStatus;
    int32_t blockSize;
    int32_t callSize;
    int32_t sleepOnCall;
};
void PrintTo(const WindDownCase& c, std::ostream* os) { *os << c.name; }

class WindDown : public Effect, public ::testing::WithParamInterface<WindDownCase> {};

TEST_P(WindDown, SleepsAfterOneBlockSizeOfSamples) {
    const WindDownCase& c = GetParam();
    block->dispatcher(block, OP_SET_BLOCK_SIZE, 0, c.blockSize, nullptr, 0.0f);
    open();
    status(0, STATUS_STREAMING);
    host.calls.clear();
    status(0, c.inputStatus);
    EXPECT_EQ(host.calls[1].value, c.inputStatus) << "the output follows the input";
    EXPECT_EQ(block->process, &ReducerModule::processFlush);
    EXPECT_EQ(module().getFlushRemaining(), c.blockSize);
    for (int32_t call = 1; call <= c.sleepOnCall; ++call) {
        host.calls.clear();
        process(0, c.callSize);
        EXPECT_EQ(host.count(HOST_SLEEP), call == c.sleepOnCall ? 1u : 0u) << "call " << call;
    }
    host.calls.clear();
    process(0, c.callSize);  // a call after the sleep request asks again
    EXPECT_EQ(host.count(HOST_SLEEP), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WindDown,
    ::testing::Values(WindDownCase{"OneOffFourQuarters", STATUS_ONE_OFF, 1024, 256, 4},
                      WindDownCase{"StaticFourQuarters", STATUS_STATIC, 1024, 256, 4},
                      WindDownCase{"OneLongBlock", STATUS_STATIC, 1024, 1500, 1},
                      WindDownCase{"ZeroBlockSize", STATUS_STATIC, 0, 16, 1}),
    [](const auto& param) { return std::string(param.param.name); });

// A host that goes on calling after the sleep request counts the flush down past zero: the
// count stays at its floor, never wrapping back to positive (which would stop the requests).
TEST(WindDownCount, SaturatesInsteadOfWrapping) {
    const struct {
        int32_t remaining, count, left;
    } cases[] = {
        {1024, 256, 768},
        {0, 16, -16},
        {INT32_MIN + 5, 10, INT32_MIN},
        {INT32_MIN, INT32_MAX, INT32_MIN},
        {-1, INT32_MAX, INT32_MIN},
        {INT32_MAX, INT32_MAX, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ReducerModule::flushRemainingAfter(c.remaining, c.count), c.left)
            << c.remaining << " - " << c.count;
    }
}

TEST_F(Effect, StatusChangeDuringWindDownRestartsTheCountdown) {
    open();
    status(0, STATUS_STATIC);
    process(0, 1000);
    status(0, STATUS_STATIC);
    EXPECT_EQ(module().getFlushRemaining(), 1024);
}

TEST_F(Effect, WindDownFollowsRateModeOnEachCall) {
    open();
    for (int i = 0; i < 8; ++i) input[i] = 1.0f;
    status(0, STATUS_STATIC);
    *rateMode = 1;
    process(0, 8);  // Linear: the ramp starts after the first take
    EXPECT_TRUE(sameBits(output[5], 0.25f));
}

TEST_F(Effect, RoutinesProduceTheReducedSignal) {
    open();
    for (int i = 0; i < 12; ++i) input[i] = static_cast<float>(i + 1) / 10.0f;
    status(0, STATUS_STREAMING);
    process(0, 12);
    EXPECT_TRUE(sameBits(output[4], input[4]));
    EXPECT_TRUE(sameBits(output[11], input[8]));
}

TEST_F(Effect, FewerThanFourHostPinsNeverTouchesMissingPins) {
    for (int32_t pins : {0, 1, 3}) {
        TearDown();
        host.calls.clear();
        host.setReportedPinCount(pins);
        make();
        open();
        EXPECT_EQ(host.count(HOST_SET_PIN_STATUS), 0u) << pins << " pins: no output pin to tell";
        for (int32_t pin = -1; pin < 6; ++pin) status(pin, STATUS_STREAMING);
        EXPECT_EQ(host.count(HOST_SET_PIN_STATUS), 0u);
        // Without pins no event reaches the effect; with an input pin it streams, and the
        // routine writes nothing because the host never gave the output a buffer.
        EXPECT_EQ(block->process,
                  pins == 0 ? &ModuleBase::emptyRoutine : &ReducerModule::processStep);
        std::fill(output.begin(), output.end(), 3.0f);
        process(0, 16);
        EXPECT_EQ(output[0], 3.0f);
    }
}

TEST_F(Effect, NegativeCountIsTakenAsZero) {
    open();
    status(0, STATUS_STATIC);
    process(0, -5);
    EXPECT_EQ(module().getFlushRemaining(), 1024);
    std::fill(output.begin(), output.end(), 3.0f);
    status(0, STATUS_STREAMING);
    rate[0] = 4410.0f;  // the copy path: a negative count must not become a huge copy
    process(0, -1);
    EXPECT_EQ(output[0], 3.0f);
}

}  // namespace
}  // namespace grindlet::test
