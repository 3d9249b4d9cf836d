// Real-time safety of the module file: no allocation, no lock inside a process routine or the
// event entry. The counter (allocation_counter.h) is armed only around process calls and event
// deliveries. The same counts show that objects leak nothing.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>

#include "host/hosted_module.h"
#include "tests/realtime/allocation_counter.h"
#include "tools/scenario.h"

namespace grindlet::test {
namespace {

// Counts what happens inside one armed stretch.
struct Armed {
    Armed() { armAllocationCounter(true); }
    ~Armed() { armAllocationCounter(false); }
};

class RealTime : public ::testing::Test {
protected:
    std::unique_ptr<host::ModuleLibrary> library;
    void SetUp() override {
        std::string error;
        library = host::ModuleLibrary::load(GRINDLET_MODULE_PATH, error);
        ASSERT_TRUE(library) << error;
        resetCountedCalls();
    }
};

TEST_F(RealTime, InterpositionSeesTheModulesAllocations) {
    // The module's own allocation (the pin array at open) must be seen, or zero means nothing.
    host::HostedModule module(*library);
    std::string error;
    ASSERT_TRUE(module.make(error));
    module.describePins();
    module.allocateBuffers(64);
    {
        Armed on;
        module.dispatch(OP_OPEN);
    }
    EXPECT_GT(countedCalls(), 0);
}

TEST_F(RealTime, ProcessCallsAndEventDeliveriesNeitherAllocateNorLock) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const float bitsValues[] = {0.2f, 1.6f, 2.4f, nan, -1.0f, 0.05f, 2.3f};
    const float rateValues[] = {441.0f, 4410.0f, 0.0f, nan, 1102.5f, 1e-3f, inf};
    const int32_t counts[] = {1, 17, 64, 512, 0, 300};
    const float inputs[] = {0.3f, -0.7f, nan, inf, -inf, 1e-45f, 3e38f, -0.0f};
    for (int16_t rateMode = 0; rateMode < 2; ++rateMode) {
        for (int16_t quantMode = -1; quantMode < 4; ++quantMode) {
            for (bool inPlace : {false, true}) {
                host::HostedModule module(*library);
                std::string error;
                ASSERT_TRUE(module.make(error)) << error;
                module.setBlockSize(700);
                module.describePins();
                module.allocateBuffers(4096);
                module.open();
                for (int i = 0; i < 4096; ++i) module.buffer(0)[i] = inputs[i % 8];
                if (inPlace) module.useBuffer(3, module.buffer(0));
                module.setListValue(4, quantMode);
                module.setListValue(5, rateMode);
                Armed on;
                module.sendPinStatus(0, STATUS_STREAMING);
                int32_t offset = 0;
                for (int block = 0; block < 40; ++block) {
                    const int32_t n = counts[block % 6];
                    if (offset + n > 4096) offset = 0;
                    module.buffer(1)[offset] = bitsValues[block % 7];
                    module.buffer(2)[offset] = rateValues[(block / 2) % 7];
                    module.process(offset, n);
                    offset += n;
                    if (block == 20) module.sendPinStatus(0, STATUS_ONE_OFF);  // wind-down, sleep
                    if (block == 30) module.sendPinStatus(0, STATUS_STREAMING);
                    if (block % 9 == 0) {
                        module.sendPinStatus(5, STATUS_STATIC);
                        module.deliverEvent(ModuleEvent{0, EVENT_PIN_STATUS, 2, 0, 99, 0});
                        module.deliverEvent(ModuleEvent{0, EVENT_DATA, 1, 2, 0, 0});
                    }
                }
            }
            EXPECT_EQ(countedCalls(), 0)
                << "rate mode " << rateMode << ", quant mode " << quantMode;
        }
    }
}

TEST_F(RealTime, TenThousandObjectLifetimesLeaveNothingAllocated) {
    auto cycle = [&] {
        host::HostedModule module(*library);
        std::string error;
        ASSERT_TRUE(module.make(error));
        module.describePins();
        module.allocateBuffers(32);
        module.open();
        module.sendPinStatus(0, STATUS_STREAMING);
        module.process(0, 32);
        module.dispatch(OP_OPEN);  // a second open replaces the pins
        module.close();
    };
    cycle();  // first-use allocations of the runtime
    const long before = liveAllocations();
    for (int i = 0; i < 10000; ++i) cycle();
    EXPECT_EQ(liveAllocations(), before);
}

}  // namespace
}  // namespace grindlet::test
