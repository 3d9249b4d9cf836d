// Pin enumeration at open: the getPinInfo sequence, the host calls, storage by datatype.
#include <gtest/gtest.h>

#include <ostream>

#include <cstring>

#include <new>

#include "recording_host.h"
#include "test_module.h"

namespace grindlet::test {
namespace {

struct OpenedModule {
    RecordingHost host;
    TestModule* module;
    explicit OpenedModule(int32_t hostPins, std::vector<TestModule::Description> descriptions) {
        host.setReportedPinCount(hostPins);
        module = new TestModule(RecordingHost::callback(), host.handle());
        module->descriptions = std::move(descriptions);
        ModuleBlock* block = module->getBlock();
        block->dispatcher(block, OP_OPEN, 0, 0, nullptr, 0.0f);
    }
    ~OpenedModule() {
        ModuleBlock* block = module->getBlock();
        block->dispatcher(block, OP_CLOSE, 0, 0, nullptr, 0.0f);
    }
};

std::vector<TestModule::Description> streams(int n, uint32_t lastFlags = 0, bool own = true) {
    std::vector<TestModule::Description> d(n, {PIN_DATATYPE_FLOAT_STREAM, own, 0});
    if (!d.empty()) d.back().flags = lastFlags;
    return d;
}

struct EnumerationCase {
    const char* name;
    int32_t hostPins;
    int describedPins;
    std::vector<int32_t> expectedInfoCalls;
};
void PrintTo(const EnumerationCase& c, std::ostream* os) { *os << c.name; }

class PinEnumeration : public ::testing::TestWithParam<EnumerationCase> {};

TEST_P(PinEnumeration, AsksForDescriptionsInOrderAndTheLastOneAgain) {
    const EnumerationCase& c = GetParam();
    OpenedModule opened(c.hostPins, streams(c.describedPins));
    EXPECT_EQ(opened.module->pinInfoCalls, c.expectedInfoCalls);
    EXPECT_EQ(opened.host.opcodes(), (std::vector<int32_t>{HOST_GET_PIN_COUNT}))
        << "every description names a variable: only the pin count is asked for";
    EXPECT_EQ(opened.module->getPinCount(), std::max(c.hostPins, 0));
    for (int32_t i = 0; i < opened.module->getPinCount(); ++i) {
        const Pin* pin = opened.module->getPin(i);
        EXPECT_EQ(pin->getIndex(), i);
        EXPECT_EQ(pin->getStatus(), STATUS_STATIC);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Hosts, PinEnumeration,
    ::testing::Values(EnumerationCase{"SixOfSix", 6, 6, {0, 1, 2, 3, 4, 5, 6, 5}},
                      EnumerationCase{"FourOfSix", 4, 6, {0, 1, 2, 3, 4, 3}},
                      EnumerationCase{"NoHostPins", 0, 6, {0, -1}},
                      EnumerationCase{"NegativeHostPins", -3, 6, {0, -1}},
                      EnumerationCase{"NothingDescribed", 3, 0, {0, -1}}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(Pins, SixDescribedPinsTakeTheModulesVariables) {
    OpenedModule opened(6, streams(6));
    for (int32_t i = 0; i < 6; ++i) {
        EXPECT_EQ(opened.module->getPin(i)->getVariable(), &opened.module->variables[i]);
        EXPECT_EQ(opened.module->getPin(i)->getDatatype(), PIN_DATATYPE_FLOAT_STREAM);
    }
}

TEST(Pins, RepeatedLastDescriptionStandsForEveryFurtherHostPin) {
    RecordingHost host;
    host.setReportedPinCount(8);
    static float bufferA[4], bufferB[4], bufferC[4];
    host.setPinBuffer(5, reinterpret_cast<intptr_t>(bufferA));
    host.setPinBuffer(6, reinterpret_cast<intptr_t>(bufferB));
    host.setPinBuffer(7, reinterpret_cast<intptr_t>(bufferC));
    auto* module = new TestModule(RecordingHost::callback(), host.handle());
    module->descriptions = streams(6, PIN_FLAG_REPEAT);
    module->descriptions[5].ownVariable = false;
    module->getBlock()->dispatcher(module->getBlock(), OP_OPEN, 0, 0, nullptr, 0.0f);

    EXPECT_EQ(module->pinInfoCalls, (std::vector<int32_t>{0, 1, 2, 3, 4, 5, 6, 5}));
    std::vector<RecordedCall> expected = {{nullptr, HOST_GET_PIN_COUNT, 0, 0, 0, 0},
                                          {nullptr, HOST_GET_PIN_BUFFER, 5, 0, 0, 0},
                                          {nullptr, HOST_GET_PIN_BUFFER, 6, 0, 0, 0},
                                          {nullptr, HOST_GET_PIN_BUFFER, 7, 0, 0, 0}};
    EXPECT_EQ(host.calls, expected);
    const float* buffers[] = {bufferA, bufferB, bufferC};
    for (int32_t i = 5; i < 8; ++i) {
        const Pin* pin = module->getPin(i);
        EXPECT_EQ(pin->getDatatype(), PIN_DATATYPE_FLOAT_STREAM);
        ASSERT_NE(pin->getVariable(), nullptr);
        EXPECT_EQ(*static_cast<float* const*>(pin->getVariable()), buffers[i - 5]);
    }
    EXPECT_NE(module->getPin(6)->getVariable(), module->getPin(7)->getVariable())
        << "each repeated pin has storage of its own";
    module->getBlock()->dispatcher(module->getBlock(), OP_CLOSE, 0, 0, nullptr, 0.0f);
}

struct StorageCase {
    int32_t datatype;
    bool hasStorage;
    uint32_t initialMask;  // the bytes the pin clears
};
void PrintTo(const StorageCase& c, std::ostream* os) { *os << "datatype " << c.datatype; }

class PinStorage : public ::testing::TestWithParam<StorageCase> {};

TEST_P(PinStorage, ByDatatypeWhenNoVariableIsNamed) {
    const StorageCase& c = GetParam();
    OpenedModule opened(1, {{c.datatype, false, 0}});
    const Pin* pin = opened.module->getPin(0);
    EXPECT_EQ(pin->getDatatype(), c.datatype);
    if (!c.hasStorage) {
        EXPECT_EQ(pin->getVariable(), nullptr);
        return;
    }
    ASSERT_NE(pin->getVariable(), nullptr);
    uint32_t value;
    std::memcpy(&value, pin->getVariable(), sizeof value);
    EXPECT_EQ(value & c.initialMask, 0u);
}

INSTANTIATE_TEST_SUITE_P(Datatypes, PinStorage,
                         ::testing::Values(StorageCase{PIN_DATATYPE_LIST, true, 0xFFFF},
                                           StorageCase{PIN_DATATYPE_UNSTORED_1, false, 0},
                                           StorageCase{PIN_DATATYPE_UNSTORED_2, false, 0},
                                           StorageCase{PIN_DATATYPE_UNSTORED_3, false, 0},
                                           StorageCase{PIN_DATATYPE_BYTE, true, 0xFF},
                                           StorageCase{PIN_DATATYPE_WORD, true, 0xFFFFFFFF},
                                           StorageCase{99, false, 0}));

TEST(Pins, StreamWithoutVariableAsksTheHostForItsBuffer) {
    RecordingHost host;
    host.setReportedPinCount(2);
    host.setPinBuffer(1, 0x1234560);
    auto* module = new TestModule(RecordingHost::callback(), host.handle());
    module->descriptions = {{PIN_DATATYPE_LIST, true, 0}, {PIN_DATATYPE_FLOAT_STREAM, false, 0}};
    module->getBlock()->dispatcher(module->getBlock(), OP_OPEN, 0, 0, nullptr, 0.0f);
    EXPECT_EQ(host.count(HOST_GET_PIN_BUFFER), 1u);
    EXPECT_EQ(*static_cast<uint32_t*>(module->getPin(1)->getVariable()), 0x1234560u);
    module->getBlock()->dispatcher(module->getBlock(), OP_CLOSE, 0, 0, nullptr, 0.0f);
}

TEST(Pins, HostPinsBeyondUnrepeatedDescriptionsAreFullyInitialised) {
    OpenedModule opened(5, streams(2));
    for (int32_t i = 2; i < 5; ++i) {
        const Pin* pin = opened.module->getPin(i);
        ASSERT_NE(pin, nullptr);
        EXPECT_EQ(pin->getIndex(), i);
        EXPECT_EQ(pin->getVariable(), nullptr);
        EXPECT_EQ(pin->getStatus(), STATUS_STATIC);
        EXPECT_EQ(pin->getDatatype(), PIN_DATATYPE_UNDESCRIBED);
    }
    EXPECT_EQ(opened.host.count(HOST_GET_PIN_BUFFER), 0u);
}

TEST(Pins, SecondOpenReplacesThePinsOfTheFirst) {
    OpenedModule opened(6, streams(6));
    opened.host.setReportedPinCount(3);
    ModuleBlock* block = opened.module->getBlock();
    block->dispatcher(block, OP_OPEN, 0, 0, nullptr, 0.0f);
    EXPECT_EQ(opened.module->getPinCount(), 3);
    EXPECT_EQ(opened.module->getPin(3), nullptr);
    opened.host.setReportedPinCount(0);
    block->dispatcher(block, OP_OPEN, 0, 0, nullptr, 0.0f);
    EXPECT_EQ(opened.module->getPinCount(), 0);
    // LeakSanitizer, in the sanitizer build, sees any array the first opens left behind.
}

class PinArrayAllocationFailure : public ::testing::TestWithParam<int32_t> {};

TEST_P(PinArrayAllocationFailure, LeavesNoPinsAndNothingCrashesLater) {
    OpenedModule opened(GetParam(), streams(6));
    EXPECT_EQ(opened.module->getPinCount(), 0);
    EXPECT_EQ(opened.module->getPin(0), nullptr);
    ModuleEvent event{0, EVENT_PIN_STATUS, STATUS_STREAMING, 0, 0, 0};
    opened.module->getBlock()->event(opened.module->getBlock()->object, &event);
    EXPECT_TRUE(opened.module->statusSeenDuringChange.empty());
}

// A count whose array size overflows, and one whose array cannot fit a 32-bit address space.
INSTANTIATE_TEST_SUITE_P(Counts, PinArrayAllocationFailure,
                         ::testing::Values(INT32_MAX, 178000000));

TEST(Pins, GetPinRefusesIndicesTheHostNeverReported) {
    OpenedModule opened(4, streams(6));
    EXPECT_EQ(opened.module->getPin(-1), nullptr);
    EXPECT_EQ(opened.module->getPin(4), nullptr);
    EXPECT_NE(opened.module->getPin(3), nullptr);
}

}  // namespace
}  // namespace grindlet::test
