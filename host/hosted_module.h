// One module object driven the way a host drives it: make, configure, describe pins, open,
// write pin values, deliver status events, call the published routine, close. It answers
// every host opcode and records the calls the module makes. Once prepared, its event and
// process calls allocate nothing, so it can be used inside real-time measurements.
//
// It is the one host of this project: the tools drive module files with it, and tests and fuzz
// targets drive modules linked into the same program with it (ModuleLibrary::linkedIn, or an
// object they construct themselves with callback() and handle()), adding a recording hook
// (onCall) where they need one rather than answering opcodes themselves.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "binding/abi/module_abi.h"
#include "module_library.h"

namespace grindlet::host {

// One call the module made to the host.
struct HostCall {
    int32_t opcode;
    int32_t index;
    int32_t value;
    intptr_t pointer;
    float number = 0.0f;
    ModuleBlock* block = nullptr;  // the calling object's block
};

// A host opcode's name ("HOST_SLEEP"), or its number as text when it has none.
std::string hostOpcodeName(int32_t opcode);

struct PinDescription {
    PinInfo info;      // as the module filled it
    std::string name;  // copied texts, empty for null
    std::string defaultValue;
    std::string datatypeExtra;
};

class HostedModule {
public:
    // Reserved up front, so that logging a call never allocates inside a process call; calls
    // past it are not logged. 96 KB: small enough that making many objects (a fuzz run) does
    // not exhaust a 32-bit address space, which an emulator and ASan's shadow share.
    static constexpr size_t CALL_LOG_CAPACITY = 1 << 12;
    static constexpr size_t EVENT_QUEUE_CAPACITY = 64;
    static constexpr int32_t DEFAULT_BUFFER_LENGTH = 4096;

    explicit HostedModule(const ModuleLibrary& library);
    // A host for an object the caller constructs itself with callback() and handle().
    HostedModule();
    ~HostedModule();  // closes the object if it is still there
    HostedModule(const HostedModule&) = delete;
    HostedModule& operator=(const HostedModule&) = delete;

    // makeModule(0, 1); false with a message when it returns null or a foreign block.
    bool make(std::string& error);
    // What to give a module object constructed by the caller, so that it calls this host.
    static HostCallback callback() { return &hostCallback; }
    void* handle() { return this; }
    // Called with every host call the module makes, after it is logged and before it is
    // answered (tests record and look at the block meanwhile).
    std::function<void(const HostCall&)> onCall;
    intptr_t dispatch(int32_t opcode, int32_t index = 0, int32_t value = 0, void* pointer = nullptr,
                      float number = 0.0f);
    void setSampleRate(float rate);
    void setBlockSize(int32_t size);
    // Reads descriptions with OP_GET_PIN_INFO from index 0 until the module answers 0.
    const std::vector<PinDescription>& describePins();
    // The index of the described pin with this name, or -1.
    int32_t findPin(const std::string& name) const;
    // The positions answered to HOST_GET_BLOCK_POSITION (advanced by process) and to
    // HOST_GET_PIN_POSITION (by default the block position).
    void setBlockPosition(int32_t blockPosition) { position = blockPosition; }
    void setPinPosition(int32_t pinPosition) {
        fixedPinPosition = pinPosition;
        hasPinPosition = true;
    }
    // The address answered to HOST_GET_PIN_BUFFER for a pin, where the caller owns the buffer.
    void setPinBuffer(int32_t pin, intptr_t address);
    // The pin count answered to HOST_GET_PIN_COUNT; by default the number of descriptions.
    void setReportedPinCount(int32_t count) { reportedPinCount = count; }
    int32_t getReportedPinCount() const { return reportedPinCount; }
    // One host buffer per reported pin, each this many samples, filled with fill.
    void allocateBuffers(int32_t length, float fill = 0.0f);
    // OP_OPEN, then the pin values are written into the described variables.
    void open();
    // Writes every pin's value (buffer address or list index) into its variable.
    void writePinValues();

    float* buffer(int32_t pin);
    int32_t bufferLength() const { return length; }
    // Lets a pin use a buffer of the caller's (e.g. the input's, for in-place processing).
    void useBuffer(int32_t pin, float* data);
    void setListValue(int32_t pin, int16_t value);

    // EVENT_PIN_STATUS for a pin; wakes a sleeping module.
    void sendPinStatus(int32_t pin, int32_t status);
    void deliverEvent(const ModuleEvent& event);
    // Calls block.process unless the module asked to sleep; the block position advances.
    bool process(int32_t offset, int32_t count);
    // OP_CLOSE; the block is gone afterwards.
    void close();

    ModuleBlock* block() const { return moduleBlock; }
    bool isAsleep() const { return asleep; }
    int32_t blockPosition() const { return position; }
    const std::vector<HostCall>& calls() const { return callLog; }
    void clearCalls() { callLog.clear(); }
    size_t droppedCalls() const { return dropped; }
    // The status the module last sent for a pin, or -1 if none.
    int32_t sentStatus(int32_t pin) const;
    int32_t processChangedCount() const { return processChanges; }
    int32_t sleepCount() const { return sleeps; }

private:
    static intptr_t GRINDLET_CDECL hostCallback(ModuleBlock* block, int32_t opcode, int32_t index,
                                                int32_t value, void* pointer, float number);
    intptr_t answer(ModuleBlock* caller, int32_t opcode, int32_t index, int32_t value,
                    void* pointer, float number);
    void deliverDueEvents(int32_t count);

    const ModuleLibrary* library = nullptr;
    ModuleBlock* moduleBlock = nullptr;
    ProcessRoutine routine = nullptr;
    std::vector<PinDescription> descriptions;
    int32_t reportedPinCount = -1;
    int32_t length = 0;
    std::vector<std::vector<float>> ownBuffers;
    std::vector<float*> pinBuffers;
    std::vector<int16_t> listValues;
    std::vector<int32_t> statusSent;
    std::vector<HostCall> callLog;
    size_t dropped = 0;
    ModuleEvent queued[EVENT_QUEUE_CAPACITY] = {};
    size_t queuedCount = 0;
    int32_t position = 0;
    int32_t fixedPinPosition = 0;
    bool hasPinPosition = false;
    bool asleep = false;
    int32_t processChanges = 0;
    int32_t sleeps = 0;
};

// The library's identity for an index, as getModuleProperties reports it.
struct ModuleIdentity {
    int32_t result = 0;
    int32_t sdkVersion = 0;
    std::string name, id, about;
};
ModuleIdentity readIdentity(const ModuleLibrary& library, int32_t index);

}  // namespace grindlet::host
