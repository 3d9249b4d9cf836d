// The block, the dispatcher and callHost of the framework base class.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <utility>

#include "recording_host.h"
#include "test_module.h"

namespace grindlet::test {
namespace {

ModuleBase* objectOf(ModuleBlock* block) { return static_cast<ModuleBase*>(block->object); }

intptr_t dispatchThroughBlock(ModuleBase& module, int32_t opcode, int32_t index = 0,
                              int32_t value = 0, void* pointer = nullptr, float number = 0.0f) {
    ModuleBlock* block = module.getBlock();
    return block->dispatcher(block, opcode, index, value, pointer, number);
}

// The slot of a virtual operation in the object's table, from its member pointer: g++ (MinGW
// too) follows the Itanium C++ ABI, where a pointer to a virtual member function holds one plus
// the slot's byte offset in the table.
template <class Member>
size_t slotOf(Member member) {
    struct Representation {
        uintptr_t pointer;
        intptr_t adjustment;
    };
    static_assert(sizeof(Member) == sizeof(Representation));
    Representation r;
    std::memcpy(&r, &member, sizeof r);
    EXPECT_EQ(r.pointer % sizeof(void*), 1u) << "not a virtual operation";
    return (r.pointer - 1) / sizeof(void*);
}

// The slot order the ABI header states, the two destructor entries first.
TEST(ModuleBase, VirtualOperationsSitInTheSlotsTheHeaderStates) {
    const std::pair<size_t, size_t> slots[] = {
        {2, slotOf(&ModuleBase::onPinStatusChange)},
        {3, slotOf(&ModuleBase::onEvent)},
        {4, slotOf(&ModuleBase::dispatch)},
        {5, slotOf(&ModuleBase::open)},
        {6, slotOf(&ModuleBase::close)},
        {7, slotOf(&ModuleBase::unusedOperation6)},
        {8, slotOf(&ModuleBase::setSampleRate)},
        {9, slotOf(&ModuleBase::setBlockSize)},
        {10, slotOf(&ModuleBase::getSampleRate)},
        {11, slotOf(&ModuleBase::getBlockSize)},
        {12, slotOf(&ModuleBase::getPinInfo)},
        {13, slotOf(&ModuleBase::unusedOperation12)},
        {14, slotOf(&ModuleBase::unusedOperation13)},
        {15, slotOf(&ModuleBase::onNotify)},
        {16, slotOf(&ModuleBase::onDataEvent)},
        {17, slotOf(&ModuleBase::onMessage)},
    };
    for (const auto& [stated, built] : slots) EXPECT_EQ(built, stated);
}

TEST(ModuleBlock, ReadsAsConstructed) {
    RecordingHost host;
    auto* module = new TestModule(RecordingHost::callback(), host.handle());
    uint32_t words[12];
    std::memcpy(words, module->getBlock(), sizeof words);
    EXPECT_EQ(words[0], 0x5345504Cu);
    EXPECT_EQ(words[1], 1u);
    EXPECT_EQ(words[2], reinterpret_cast<uint32_t>(host.handle()));
    EXPECT_EQ(words[3], reinterpret_cast<uint32_t>(static_cast<ModuleBase*>(module)));
    EXPECT_EQ(words[4], 0u);
    EXPECT_NE(words[5], 0u);  // dispatcher
    EXPECT_EQ(words[6], reinterpret_cast<uint32_t>(&ModuleBase::emptyRoutine));
    EXPECT_NE(words[7], 0u);  // event entry
    for (int i = 8; i < 12; ++i) EXPECT_EQ(words[i], 0u) << "reserved word " << i;
    EXPECT_EQ(module->getProcessBinding().routine, &ModuleBase::emptyRoutine);
    EXPECT_EQ(module->getProcessBinding().objectAdjust, 0);
    EXPECT_EQ(module->sampleRateValue(), 44100.0f);
    EXPECT_EQ(module->blockSizeValue(), 1024);
    EXPECT_EQ(module->getPinCount(), 0);
    EXPECT_TRUE(host.calls.empty()) << "construction calls the host for nothing";
    dispatchThroughBlock(*module, OP_CLOSE);
}

TEST(ModuleBlock, EntriesAreSharedByAllObjects) {
    RecordingHost host;
    auto* a = new TestModule(RecordingHost::callback(), host.handle());
    auto* b = new TestModule(RecordingHost::callback(), host.handle());
    EXPECT_NE(a->getBlock(), b->getBlock());
    EXPECT_EQ(objectOf(a->getBlock()), a);
    EXPECT_EQ(objectOf(b->getBlock()), b);
    EXPECT_EQ(a->getBlock()->dispatcher, b->getBlock()->dispatcher);
    EXPECT_EQ(a->getBlock()->event, b->getBlock()->event);
    dispatchThroughBlock(*a, OP_CLOSE);
    dispatchThroughBlock(*b, OP_CLOSE);
}

TEST(Dispatcher, UnservedOpcodesAnswerZeroAndDoNothing) {
    RecordingHost host;
    auto* module = new TestModule(RecordingHost::callback(), host.handle());
    module->descriptions = {{PIN_DATATYPE_LIST, true, 0}};
    for (int32_t opcode : {4, 5, 7, 9, 10, 11, 14, 100, -1, INT32_MIN}) {
        PinInfo info{};
        EXPECT_EQ(dispatchThroughBlock(*module, opcode, 0, 1, &info, 2.0f), 0) << opcode;
    }
    EXPECT_TRUE(host.calls.empty());
    EXPECT_TRUE(module->pinInfoCalls.empty());
    EXPECT_EQ(module->sampleRateValue(), 44100.0f);
    EXPECT_EQ(module->blockSizeValue(), 1024);
    EXPECT_EQ(module->closeCalls, 0);
    dispatchThroughBlock(*module, OP_CLOSE);
}

TEST(Dispatcher, SampleRateFromNumberAndBlockSizeFromValue) {
    RecordingHost host;
    auto* module = new TestModule(RecordingHost::callback(), host.handle());
    EXPECT_EQ(dispatchThroughBlock(*module, OP_SET_SAMPLE_RATE, 7, 9, &host, 48000.5f), 0);
    EXPECT_EQ(module->sampleRateValue(), 48000.5f);
    EXPECT_EQ(dispatchThroughBlock(*module, OP_SET_BLOCK_SIZE, 77, 512, &host, 3.0f), 0);
    EXPECT_EQ(module->blockSizeValue(), 512);
    EXPECT_EQ(module->getBlockSize(), 512);
    EXPECT_EQ(module->getSampleRate(), 48000.5f);
    dispatchThroughBlock(*module, OP_CLOSE);
}

TEST(Dispatcher, PinInfoAnswersOneOrZeroAndKeepsTheHostsFields) {
    RecordingHost host;
    auto* module = new TestModule(RecordingHost::callback(), host.handle());
    module->descriptions = {{PIN_DATATYPE_FLOAT_STREAM, true, 0}};
    PinInfo info;
    std::memset(&info, 0xAB, sizeof info);
    EXPECT_EQ(dispatchThroughBlock(*module, OP_GET_PIN_INFO, 0, 0, &info), 1);
    EXPECT_EQ(info.datatype, PIN_DATATYPE_FLOAT_STREAM);
    EXPECT_EQ(info.direction, static_cast<int32_t>(0xABABABAB)) << "the dispatcher clears nothing";
    EXPECT_EQ(info.reserved28, 0xABABABABu);
    EXPECT_EQ(dispatchThroughBlock(*module, OP_GET_PIN_INFO, 1, 0, &info), 0);
    EXPECT_EQ(dispatchThroughBlock(*module, OP_GET_PIN_INFO, 0, 0, nullptr), 0);
    EXPECT_EQ(module->pinInfoCalls, (std::vector<int32_t>{0, 1}));
    dispatchThroughBlock(*module, OP_CLOSE);
}

TEST(Dispatcher, ProcessBindingRecordIsSharedAndNamesTheLatestRequester) {
    RecordingHost host;
    auto* a = new TestModule(RecordingHost::callback(), host.handle());
    auto* b = new TestModule(RecordingHost::callback(), host.handle());
    const intptr_t first = dispatchThroughBlock(*a, OP_GET_PROCESS_BINDING);
    const auto* record = reinterpret_cast<const uint32_t*>(first);
    EXPECT_EQ(record[2], reinterpret_cast<uint32_t>(&a->getProcessBinding()));
    const intptr_t second = dispatchThroughBlock(*b, OP_GET_PROCESS_BINDING);
    EXPECT_EQ(first, second);
    EXPECT_EQ(record[0], 1u);
    EXPECT_EQ(record[1], 16u);
    EXPECT_EQ(record[2], reinterpret_cast<uint32_t>(&b->getProcessBinding()));
    EXPECT_EQ(record[3], 0u);
    dispatchThroughBlock(*a, OP_CLOSE);
    dispatchThroughBlock(*b, OP_CLOSE);
}

TEST(Dispatcher, CloseWithoutOpenClosesAndDeletes) {
    RecordingHost host;
    bool destroyed = false;
    auto* module = new TestModule(RecordingHost::callback(), host.handle());
    module->destroyed = &destroyed;
    EXPECT_EQ(dispatchThroughBlock(*module, OP_CLOSE), 1);
    EXPECT_TRUE(destroyed);
    EXPECT_TRUE(host.calls.empty());
}

TEST(Dispatcher, NotifyAndMessageAnswerZero) {
    RecordingHost host;
    auto* module = new TestModule(RecordingHost::callback(), host.handle());
    EXPECT_EQ(dispatchThroughBlock(*module, OP_NOTIFY), 0);
    EXPECT_EQ(dispatchThroughBlock(*module, OP_MESSAGE, 1, 2, &host), 0);
    dispatchThroughBlock(*module, OP_CLOSE);
}

TEST(CallHost, PassesTheBlockAndArgumentsAndReturnsTheResult) {
    RecordingHost host;
    host.setBlockPosition(-12345);
    auto* module = new TestModule(RecordingHost::callback(), host.handle());
    EXPECT_EQ(module->getBlockPosition(), -12345);
    EXPECT_EQ(module->callHost(42, 1, 2, &host), 0);
    ASSERT_EQ(host.calls.size(), 2u);
    EXPECT_EQ(host.calls[0].block, module->getBlock());
    EXPECT_EQ(host.calls[0], (RecordedCall{nullptr, HOST_GET_BLOCK_POSITION, 0, 0, 0, 0.0f}));
    EXPECT_EQ(host.calls[1],
              (RecordedCall{nullptr, 42, 1, 2, reinterpret_cast<intptr_t>(&host), 0}));
    EXPECT_EQ(host.calls[1].number, 0.0f);
    dispatchThroughBlock(*module, OP_CLOSE);
}

TEST(CallHost, NullCallbackAnswersZeroForEveryOpcode) {
    auto* module = new TestModule(nullptr, nullptr);
    module->descriptions = {{PIN_DATATYPE_FLOAT_STREAM, false, 0}};
    for (int32_t opcode = 0; opcode < 32; ++opcode) EXPECT_EQ(module->callHost(opcode), 0);
    EXPECT_EQ(module->getBlockPosition(), 0);
    dispatchThroughBlock(*module, OP_OPEN);
    EXPECT_EQ(module->getPinCount(), 0) << "no host, no pins";
    EXPECT_EQ(dispatchThroughBlock(*module, OP_CLOSE), 1);
}

TEST(Dispatcher, EntriesSurviveNullArguments) {
    RecordingHost host;
    auto* module = new TestModule(RecordingHost::callback(), host.handle());
    ModuleBlock* block = module->getBlock();
    EXPECT_EQ(block->dispatcher(nullptr, OP_OPEN, 0, 0, nullptr, 0.0f), 0);
    block->event(nullptr, nullptr);
    block->event(block->object, nullptr);
    EXPECT_TRUE(host.calls.empty());
    dispatchThroughBlock(*module, OP_CLOSE);
}

}  // namespace
}  // namespace grindlet::test
