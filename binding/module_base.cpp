#include "module_base.h"

#include <cstddef>
#include <cstring>
#include <new>

namespace grindlet {

namespace {
// One record for the whole library: each OP_GET_PROCESS_BINDING overwrites it.
ProcessBindingRecord sharedBindingRecord;
}  // namespace

ModuleBase::ModuleBase(HostCallback callback, void* hostHandle)
    : hostCallback(callback), block(), pins(nullptr), pinCount(0), processBinding() {
    std::memset(&block, 0, sizeof block);
    block.magic = MODULE_BLOCK_MAGIC;
    processBinding = ProcessBinding{&emptyRoutine, 0, 0, 0};
    block.process = &emptyRoutine;
    block.event = &eventEntry;
    block.dispatcher = &dispatcherEntry;
    block.hostHandle = hostHandle;
    block.object = this;
    block.version = MODULE_BLOCK_VERSION;
    sampleRate = DEFAULT_SAMPLE_RATE;
    blockSize = DEFAULT_BLOCK_SIZE;
}

ModuleBase::~ModuleBase() { freePins(); }

void ModuleBase::onPinStatusChange(Pin&) {}

void ModuleBase::onEvent(const ModuleEvent* event) {
    switch (event->type) {
        case EVENT_PIN_STATUS: {
            // The host may name a pin it never reported: such an event is dropped.
            Pin* pin = getPin(static_cast<int32_t>(event->target));
            if (pin != nullptr) pin->receiveStatus(event->value);
            break;
        }
        case EVENT_DATA:
            onDataEvent(event->time, event->value, event->extra & 0xFFFF);
            break;
        case EVENT_CALL:
            if (event->target != 0) reinterpret_cast<MemberRoutine>(event->target)(this);
            break;
        default:
            break;
    }
}

intptr_t ModuleBase::dispatch(int32_t opcode, int32_t index, int32_t value, void* pointer,
                              float number) {
    switch (static_cast<uint32_t>(opcode)) {
        case OP_OPEN:
            open();
            return 0;
        case OP_CLOSE:
            close();
            delete this;
            return 1;
        case OP_SET_SAMPLE_RATE:
            setSampleRate(number);
            return 0;
        case OP_SET_BLOCK_SIZE:
            setBlockSize(value);
            return 0;
        case OP_GET_PIN_INFO:
            // A host that passes no record gets the answer "not described".
            if (pointer == nullptr) return 0;
            return getPinInfo(index, static_cast<PinInfo*>(pointer)) ? 1 : 0;
        case OP_NOTIFY:
            onNotify();
            return 0;
        case OP_MESSAGE:
            onMessage(value, index, pointer);
            return 0;
        case OP_GET_PROCESS_BINDING:
            sharedBindingRecord = ProcessBindingRecord{BINDING_RECORD_KIND, sizeof(ProcessBinding),
                                                       &processBinding, 0};
            return reinterpret_cast<intptr_t>(&sharedBindingRecord);
        default:
            return 0;
    }
}

void ModuleBase::open() { buildPins(); }

void ModuleBase::close() {}
void ModuleBase::unusedOperation6(int32_t, int32_t) {}
void ModuleBase::setSampleRate(float rate) { sampleRate = rate; }
void ModuleBase::setBlockSize(int32_t size) { blockSize = size; }
float ModuleBase::getSampleRate() const { return sampleRate; }
int32_t ModuleBase::getBlockSize() const { return blockSize; }
bool ModuleBase::getPinInfo(int32_t, PinInfo*) { return false; }
bool ModuleBase::unusedOperation12(int32_t) { return false; }
bool ModuleBase::unusedOperation13(int32_t) { return false; }
void ModuleBase::onNotify() {}
void ModuleBase::onDataEvent(int32_t, int32_t, int32_t) {}
void ModuleBase::onMessage(int32_t, int32_t, void*) {}

intptr_t ModuleBase::callHost(int32_t opcode, int32_t index, int32_t value, void* pointer,
                              float number) {
    if (hostCallback == nullptr) return 0;
    return hostCallback(&block, opcode, index, value, pointer, number);
}

int32_t ModuleBase::getBlockPosition() {
    return static_cast<int32_t>(callHost(HOST_GET_BLOCK_POSITION));
}

void ModuleBase::setProcessRoutine(ProcessRoutine routine, int32_t objectAdjust, uint32_t word8,
                                   uint32_t word12) {
    // The host calls block.process unconditionally, so it never gets a null routine.
    if (routine == nullptr) routine = &emptyRoutine;
    if (routine == processBinding.routine && objectAdjust == processBinding.objectAdjust &&
        word8 == processBinding.word8 && word12 == processBinding.word12) {
        return;
    }
    processBinding = ProcessBinding{routine, objectAdjust, word8, word12};
    block.process = routine;
    callHost(HOST_PROCESS_CHANGED);
}

void ModuleBase::queueEvent(int32_t time, int32_t type, int32_t value, int32_t extra,
                            uintptr_t target) {
    ModuleEvent event{time, type, value, extra, target, 0};
    callHost(HOST_QUEUE_EVENT, 0, 0, &event);
}

void ModuleBase::queueCall(int32_t time, MemberRoutine routine) {
    queueEvent(time, EVENT_CALL, 0, 0, reinterpret_cast<uintptr_t>(routine));
}

Pin* ModuleBase::getPin(int32_t index) {
    if (index < 0 || index >= pinCount) return nullptr;
    return &pins[index];
}

void GRINDLET_CDECL ModuleBase::emptyRoutine(void*, int32_t, int32_t) {}

intptr_t GRINDLET_CDECL ModuleBase::dispatcherEntry(ModuleBlock* block, int32_t opcode,
                                                    int32_t index, int32_t value, void* pointer,
                                                    float number) {
    if (block == nullptr || block->object == nullptr) return 0;
    return static_cast<ModuleBase*>(block->object)->dispatch(opcode, index, value, pointer, number);
}

void GRINDLET_CDECL ModuleBase::eventEntry(void* object, ModuleEvent* event) {
    if (object == nullptr || event == nullptr) return;
    static_cast<ModuleBase*>(object)->onEvent(event);
}

void ModuleBase::buildPins() {
    // A second open starts again from nothing instead of leaking the first open's pins.
    freePins();

    int32_t count = static_cast<int32_t>(callHost(HOST_GET_PIN_COUNT));
    if (count > 0) {
        if (static_cast<size_t>(count) <= SIZE_MAX / sizeof(Pin)) {
            pins = new (std::nothrow) Pin[static_cast<size_t>(count)];
        }
        if (pins == nullptr) count = 0;  // no memory: the object carries on with no pins
        pinCount = count;
    }

    PinInfo info{};
    int32_t described = 0;
    if (getPinInfo(0, &info)) {
        while (described < count) {
            pins[described].initialise(this, described, info.datatype, info.variable);
            ++described;
            info = PinInfo{};
            if (!getPinInfo(described, &info)) break;
        }
    }

    // Leave the last description used in the record: it decides whether it repeats.
    info = PinInfo{};
    getPinInfo(described - 1, &info);
    const bool repeatLast = (info.flags & PIN_FLAG_REPEAT) != 0;
    for (int32_t index = described; index < count; ++index) {
        if (repeatLast) {
            pins[index].initialise(this, index, info.datatype, nullptr);
        } else {
            // Pins past the descriptions are still fully set: index, no variable, static.
            pins[index].initialise(this, index, PIN_DATATYPE_UNDESCRIBED, nullptr);
        }
    }
}

void ModuleBase::freePins() {
    delete[] pins;
    pins = nullptr;
    pinCount = 0;
}

}  // namespace grindlet
