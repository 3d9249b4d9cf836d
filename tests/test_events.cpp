// Events, pin statuses, and the publishing of process routines.
#include <gtest/gtest.h>

#include <cstring>

#include "recording_host.h"
#include "test_module.h"

namespace grindlet::test {
namespace {

class Events : public ::testing::Test {
protected:
    RecordingHost host;
    TestModule* module = nullptr;

    void SetUp() override {
        host.setReportedPinCount(6);
        module = new TestModule(RecordingHost::callback(), host.handle());
        module->descriptions.assign(6, {PIN_DATATYPE_FLOAT_STREAM, true, 0});
        module->getBlock()->dispatcher(module->getBlock(), OP_OPEN, 0, 0, nullptr, 0.0f);
        host.calls.clear();
    }
    void TearDown() override {
        module->getBlock()->dispatcher(module->getBlock(), OP_CLOSE, 0, 0, nullptr, 0.0f);
    }
    void deliver(ModuleEvent event) {
        module->getBlock()->event(module->getBlock()->object, &event);
    }
    void status(uint32_t pin, int32_t value) { deliver({0, EVENT_PIN_STATUS, value, 0, pin, 0}); }
};

TEST_F(Events, OneOffStatusIsVisibleOnlyDuringTheHandler) {
    status(0, STATUS_ONE_OFF);
    EXPECT_EQ(module->statusSeenDuringChange, (std::vector<int32_t>{STATUS_ONE_OFF}));
    EXPECT_EQ(module->getPin(0)->getStatus(), STATUS_STATIC);
    EXPECT_TRUE(host.calls.empty()) << "receiving a status calls the host for nothing";
}

TEST_F(Events, StreamingStatusStays) {
    status(2, STATUS_STREAMING);
    EXPECT_EQ(module->statusSeenDuringChange, (std::vector<int32_t>{STATUS_STREAMING}));
    EXPECT_EQ(module->getPin(2)->getStatus(), STATUS_STREAMING);
    status(2, STATUS_STATIC);
    EXPECT_EQ(module->getPin(2)->getStatus(), STATUS_STATIC);
}

TEST_F(Events, StatusForPinsThatDoNotExistIsIgnored) {
    for (uint32_t pin : {6u, 7u, 1000u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu}) status(pin, 2);
    EXPECT_TRUE(module->statusSeenDuringChange.empty());
    for (int32_t i = 0; i < 6; ++i) EXPECT_EQ(module->getPin(i)->getStatus(), STATUS_STATIC);
}

TEST_F(Events, DataEventPassesTheLow16BitsOfExtraZeroExtended) {
    deliver({17, EVENT_DATA, -5, static_cast<int32_t>(0xABCDFFFEu), 0, 0});
    EXPECT_EQ(module->dataEvent, (std::vector<int32_t>{17, -5, 0xFFFE}));
}

TEST_F(Events, OtherTypesChangeNothingAndCallNothing) {
    for (int32_t type : {1, 3, 20, 22, -1}) deliver({0, type, 2, 0, 0, 0});
    EXPECT_TRUE(module->statusSeenDuringChange.empty());
    EXPECT_TRUE(module->dataEvent.empty());
    EXPECT_TRUE(host.calls.empty());
}

ModuleBase* calledOn = nullptr;
void GRINDLET_MEMBERCALL recordCall(ModuleBase* object) { calledOn = object; }

TEST_F(Events, CallEventCallsTheRoutineAsAMemberOfTheObject) {
    calledOn = nullptr;
    deliver({0, EVENT_CALL, 0, 0, reinterpret_cast<uint32_t>(&recordCall), 0});
    EXPECT_EQ(calledOn, module);
    deliver({0, EVENT_CALL, 0, 0, 0, 0});  // no routine: nothing to call
}

TEST_F(Events, QueueEventHandsTheHostA24ByteRecord) {
    module->queueEvent(5, EVENT_DATA, 7, 9, 0);
    ASSERT_EQ(host.calls.size(), 1u);
    EXPECT_EQ(host.calls[0].opcode, HOST_QUEUE_EVENT);
    EXPECT_EQ(host.queuedEventWords, (std::vector<uint32_t>{5, 2, 7, 9, 0, 0}));
}

TEST_F(Events, QueueCallQueuesACallEventForTheRoutine) {
    module->queueCall(3, &recordCall);
    EXPECT_EQ(host.queuedEventWords,
              (std::vector<uint32_t>{3, 21, 0, 0, reinterpret_cast<uint32_t>(&recordCall), 0}));
}

TEST_F(Events, PinSendStatusAndRequests) {
    module->getPin(3)->sendStatus(-42, STATUS_STREAMING);
    module->getPin(2)->queryHost();
    module->getPin(1)->sendRequest(9, 11);
    std::vector<RecordedCall> expected = {
        {nullptr, HOST_SET_PIN_STATUS, 3, STATUS_STREAMING, -42, 0},
        {nullptr, HOST_QUERY_PIN, 2, 0, 0, 0},
        {nullptr, HOST_PIN_REQUEST, 1, 11, 9, 0}};
    EXPECT_EQ(host.calls, expected);
}

TEST_F(Events, CurrentValueIndexesTheBufferByPositionDifference) {
    float samples[4] = {1.0f, 2.0f, 3.0f, 4.0f};
    float* address = samples;
    std::memcpy(module->getPin(0)->getVariable(), &address, sizeof address);
    host.setBlockPosition(2);  // the recording host answers the pin position with 0
    EXPECT_EQ(module->getPin(0)->currentValue(), 3.0f);
}

void GRINDLET_CDECL routineA(void*, int32_t, int32_t) {}
void GRINDLET_CDECL routineB(void*, int32_t, int32_t) {}

ProcessRoutine publishedWhenTold = nullptr;

TEST_F(Events, SetProcessRoutinePublishesThenTellsTheHostOnce) {
    host.observer = [](RecordingHost&, const RecordedCall& call) {
        if (call.opcode == HOST_PROCESS_CHANGED) publishedWhenTold = call.block->process;
    };
    publishedWhenTold = nullptr;
    module->setProcessRoutine(&routineA);
    EXPECT_EQ(module->getBlock()->process, &routineA);
    EXPECT_EQ(publishedWhenTold, &routineA) << "block.process changed before the host was told";
    EXPECT_EQ(host.opcodes(), (std::vector<int32_t>{HOST_PROCESS_CHANGED}));

    module->setProcessRoutine(&routineA);  // the installed binding: nothing
    EXPECT_EQ(host.count(HOST_PROCESS_CHANGED), 1u);

    module->setProcessRoutine(&routineA, 0, 1, 0);  // same routine, another word
    EXPECT_EQ(host.count(HOST_PROCESS_CHANGED), 2u);
    EXPECT_EQ(module->getProcessBinding().word8, 1u);

    module->setProcessRoutine(&routineB);
    EXPECT_EQ(module->getBlock()->process, &routineB);
    EXPECT_EQ(module->getProcessBinding().routine, &routineB);
    EXPECT_EQ(module->getProcessBinding().word8, 0u);
    EXPECT_EQ(host.count(HOST_PROCESS_CHANGED), 3u);
}

TEST_F(Events, NullRoutineIsPublishedAsTheEmptyRoutine) {
    module->setProcessRoutine(&routineA);
    module->setProcessRoutine(nullptr);
    EXPECT_EQ(module->getBlock()->process, &ModuleBase::emptyRoutine);
    EXPECT_EQ(host.count(HOST_PROCESS_CHANGED), 2u);
}

}  // namespace
}  // namespace grindlet::test
