#include "hosted_module.h"

#include <algorithm>
#include <cstring>

namespace grindlet::host {

std::string hostOpcodeName(int32_t opcode) {
    switch (opcode) {
        case HOST_SET_PIN_STATUS:
            return "HOST_SET_PIN_STATUS";
        case HOST_QUERY_PIN:
            return "HOST_QUERY_PIN";
        case HOST_GET_BLOCK_POSITION:
            return "HOST_GET_BLOCK_POSITION";
        case HOST_PIN_REQUEST:
            return "HOST_PIN_REQUEST";
        case HOST_GET_PIN_BUFFER:
            return "HOST_GET_PIN_BUFFER";
        case HOST_GET_PIN_POSITION:
            return "HOST_GET_PIN_POSITION";
        case HOST_SLEEP:
            return "HOST_SLEEP";
        case HOST_GET_PIN_COUNT:
            return "HOST_GET_PIN_COUNT";
        case HOST_QUEUE_EVENT:
            return "HOST_QUEUE_EVENT";
        case HOST_PROCESS_CHANGED:
            return "HOST_PROCESS_CHANGED";
        default:
            return "opcode " + std::to_string(opcode);
    }
}

namespace {
std::string textOrEmpty(const char* text) { return text != nullptr ? text : ""; }
}  // namespace

HostedModule::HostedModule(const ModuleLibrary& owner) : library(&owner) {
    callLog.reserve(CALL_LOG_CAPACITY);
}

HostedModule::HostedModule() { callLog.reserve(CALL_LOG_CAPACITY); }

void HostedModule::setPinBuffer(int32_t pin, intptr_t address) {
    if (pin < 0) return;
    if (static_cast<size_t>(pin) >= pinBuffers.size())
        pinBuffers.resize(static_cast<size_t>(pin) + 1, nullptr);
    pinBuffers[static_cast<size_t>(pin)] = reinterpret_cast<float*>(address);
}

HostedModule::~HostedModule() { close(); }

bool HostedModule::make(std::string& error) {
    if (library == nullptr) {
        error = "no module library to make an object from";
        return false;
    }
    moduleBlock = library->makeModule()(MODULE_INDEX_ONLY, MODULE_KIND_AUDIO, &hostCallback, this);
    if (moduleBlock == nullptr) {
        error = "makeModule(0, 1) returned null";
        return false;
    }
    if (moduleBlock->magic != MODULE_BLOCK_MAGIC || moduleBlock->hostHandle != this) {
        error = "makeModule returned a block without the module magic or with another handle";
        moduleBlock = nullptr;
        return false;
    }
    routine = moduleBlock->process;
    return true;
}

intptr_t HostedModule::dispatch(int32_t opcode, int32_t index, int32_t value, void* pointer,
                                float number) {
    if (moduleBlock == nullptr) return 0;
    ModuleBlock* target = moduleBlock;
    if (opcode == OP_CLOSE) moduleBlock = nullptr;  // the block is gone after the call
    return target->dispatcher(target, opcode, index, value, pointer, number);
}

void HostedModule::setSampleRate(float rate) { dispatch(OP_SET_SAMPLE_RATE, 0, 0, nullptr, rate); }

void HostedModule::setBlockSize(int32_t size) { dispatch(OP_SET_BLOCK_SIZE, 0, size); }

const std::vector<PinDescription>& HostedModule::describePins() {
    descriptions.clear();
    // A module describes a handful of pins; the bound only stops a module that never says no.
    constexpr int32_t maxDescriptions = 1024;
    for (int32_t index = 0; index < maxDescriptions; ++index) {
        PinInfo info{};
        if (dispatch(OP_GET_PIN_INFO, index, 0, &info) == 0) break;
        descriptions.push_back(PinDescription{info, textOrEmpty(info.name),
                                              textOrEmpty(info.defaultValue),
                                              textOrEmpty(info.datatypeExtra)});
    }
    if (reportedPinCount < 0) reportedPinCount = static_cast<int32_t>(descriptions.size());
    return descriptions;
}

int32_t HostedModule::findPin(const std::string& name) const {
    for (size_t pin = 0; pin < descriptions.size(); ++pin) {
        if (descriptions[pin].name == name) return static_cast<int32_t>(pin);
    }
    return -1;
}

void HostedModule::allocateBuffers(int32_t samples, float fill) {
    const int32_t pins = std::max<int32_t>(reportedPinCount, 0);
    length = samples;
    ownBuffers.assign(pins, std::vector<float>(static_cast<size_t>(samples), fill));
    pinBuffers.resize(pins);
    for (int32_t pin = 0; pin < pins; ++pin) pinBuffers[pin] = ownBuffers[pin].data();
    listValues.assign(pins, 0);
    statusSent.assign(pins, -1);
}

void HostedModule::open() {
    if (pinBuffers.size() != static_cast<size_t>(std::max<int32_t>(reportedPinCount, 0))) {
        allocateBuffers(DEFAULT_BUFFER_LENGTH);
    }
    dispatch(OP_OPEN);
    writePinValues();
}

void HostedModule::writePinValues() {
    const size_t pins = std::min(descriptions.size(), pinBuffers.size());
    for (size_t pin = 0; pin < pins; ++pin) {
        const PinInfo& info = descriptions[pin].info;
        if (info.variable == nullptr) continue;
        if (info.datatype == PIN_DATATYPE_FLOAT_STREAM) {
            float* address = pinBuffers[pin];
            std::memcpy(info.variable, &address, sizeof address);
        } else if (info.datatype == PIN_DATATYPE_LIST) {
            std::memcpy(info.variable, &listValues[pin], sizeof(int16_t));
        }
    }
}

float* HostedModule::buffer(int32_t pin) {
    if (pin < 0 || static_cast<size_t>(pin) >= pinBuffers.size()) return nullptr;
    return pinBuffers[pin];
}

void HostedModule::useBuffer(int32_t pin, float* data) {
    if (pin < 0 || static_cast<size_t>(pin) >= pinBuffers.size()) return;
    pinBuffers[pin] = data;
    writePinValues();
}

void HostedModule::setListValue(int32_t pin, int16_t value) {
    if (pin < 0 || static_cast<size_t>(pin) >= listValues.size()) return;
    listValues[pin] = value;
    writePinValues();
}

void HostedModule::sendPinStatus(int32_t pin, int32_t status) {
    deliverEvent(ModuleEvent{position, EVENT_PIN_STATUS, status, 0, static_cast<uint32_t>(pin), 0});
    asleep = false;
}

void HostedModule::deliverEvent(const ModuleEvent& event) {
    if (moduleBlock == nullptr) return;
    ModuleEvent copy = event;
    moduleBlock->event(moduleBlock->object, &copy);
}

bool HostedModule::process(int32_t offset, int32_t count) {
    if (moduleBlock == nullptr) return false;
    deliverDueEvents(count);
    if (asleep) return false;
    routine(moduleBlock->object, offset, count);
    position += count;
    return true;
}

void HostedModule::deliverDueEvents(int32_t count) {
    // Events the module queued are delivered before the block in which their time falls.
    size_t kept = 0;
    const size_t pending = queuedCount;
    ModuleEvent due[EVENT_QUEUE_CAPACITY];
    size_t dueCount = 0;
    for (size_t i = 0; i < pending; ++i) {
        if (queued[i].time < position + count) {
            due[dueCount++] = queued[i];
        } else {
            queued[kept++] = queued[i];
        }
    }
    queuedCount = kept;
    for (size_t i = 0; i < dueCount; ++i) deliverEvent(due[i]);
}

void HostedModule::close() {
    if (moduleBlock == nullptr) return;
    dispatch(OP_CLOSE);
    routine = nullptr;
}

int32_t HostedModule::sentStatus(int32_t pin) const {
    if (pin < 0 || static_cast<size_t>(pin) >= statusSent.size()) return -1;
    return statusSent[pin];
}

intptr_t GRINDLET_CDECL HostedModule::hostCallback(ModuleBlock* block, int32_t opcode,
                                                   int32_t index, int32_t value, void* pointer,
                                                   float number) {
    if (block == nullptr || block->hostHandle == nullptr) return 0;
    return static_cast<HostedModule*>(block->hostHandle)
        ->answer(block, opcode, index, value, pointer, number);
}

intptr_t HostedModule::answer(ModuleBlock* caller, int32_t opcode, int32_t index, int32_t value,
                              void* pointer, float number) {
    const HostCall call{opcode, index, value, reinterpret_cast<intptr_t>(pointer), number, caller};
    if (callLog.size() < CALL_LOG_CAPACITY) {
        callLog.push_back(call);
    } else {
        ++dropped;
    }
    if (onCall) onCall(call);
    const bool pinExists = index >= 0 && index < reportedPinCount;
    switch (opcode) {
        case HOST_GET_PIN_COUNT:
            return reportedPinCount;
        case HOST_GET_PIN_BUFFER:
            if (!pinExists || static_cast<size_t>(index) >= pinBuffers.size()) return 0;
            return reinterpret_cast<intptr_t>(pinBuffers[index]);
        case HOST_GET_BLOCK_POSITION:
            return position;
        case HOST_GET_PIN_POSITION:
            return hasPinPosition ? fixedPinPosition : position;
        case HOST_SET_PIN_STATUS:
            if (pinExists && static_cast<size_t>(index) < statusSent.size())
                statusSent[index] = value;
            return 0;
        case HOST_SLEEP:
            asleep = true;
            ++sleeps;
            return 0;
        case HOST_PROCESS_CHANGED:
            if (caller == moduleBlock) routine = caller->process;
            ++processChanges;
            return 0;
        case HOST_QUERY_PIN:
            return pinExists ? 1 : 0;
        case HOST_PIN_REQUEST:
            return value;
        case HOST_QUEUE_EVENT:
            if (pointer != nullptr && queuedCount < EVENT_QUEUE_CAPACITY) {
                std::memcpy(&queued[queuedCount++], pointer, sizeof(ModuleEvent));
            }
            return 0;
        default:
            return 0;
    }
}

ModuleIdentity readIdentity(const ModuleLibrary& library, int32_t index) {
    ModuleInfo info{};
    ModuleIdentity identity;
    identity.result = library.getModuleProperties()(index, &info);
    identity.sdkVersion = info.sdkVersion;
    identity.name = textOrEmpty(info.name);
    identity.id = textOrEmpty(info.id);
    identity.about = textOrEmpty(info.about);
    return identity;
}

}  // namespace grindlet::host
