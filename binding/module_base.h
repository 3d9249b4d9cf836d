// The framework base class of every module object: its block, dispatcher, pins, host calls,
// events and process routine. Bad host input is survived: it is ignored or answered with 0.
#pragma once

#include <cstdint>

#include "abi/module_abi.h"
#include "pin.h"

namespace grindlet {

class ModuleBase {
public:
    // A plain function called as a member routine of the object (EVENT_CALL).
    using MemberRoutine = void(GRINDLET_MEMBERCALL*)(ModuleBase* object);

    static constexpr float DEFAULT_SAMPLE_RATE = 44100.0f;
    static constexpr int32_t DEFAULT_BLOCK_SIZE = 1024;

    // Fills the block; calls the host for nothing.
    ModuleBase(HostCallback callback, void* hostHandle);
    ModuleBase(const ModuleBase&) = delete;
    ModuleBase& operator=(const ModuleBase&) = delete;

    // The virtual operations, in slot order. Defaults are harmless.
    virtual ~ModuleBase();                           // deletion by OP_CLOSE
    virtual void onPinStatusChange(Pin& pin);        // after a pin's status is stored
    virtual void onEvent(const ModuleEvent* event);  // the event entry
    virtual intptr_t dispatch(int32_t opcode, int32_t index, int32_t value, void* pointer,
                              float number);                       // the dispatcher entry
    virtual void open();                                           // OP_OPEN: builds the pins
    virtual void close();                                          // OP_CLOSE, before deletion
    virtual void unusedOperation6(int32_t first, int32_t second);  // never invoked
    virtual void setSampleRate(float rate);                        // OP_SET_SAMPLE_RATE
    virtual void setBlockSize(int32_t size);                       // OP_SET_BLOCK_SIZE
    virtual float getSampleRate() const;
    virtual int32_t getBlockSize() const;
    virtual bool getPinInfo(int32_t index, PinInfo* info);  // OP_GET_PIN_INFO and open
    virtual bool unusedOperation12(int32_t value);          // never invoked
    virtual bool unusedOperation13(int32_t value);          // never invoked
    virtual void onNotify();                                // OP_NOTIFY
    virtual void onDataEvent(int32_t time, int32_t value, int32_t value16);  // EVENT_DATA
    virtual void onMessage(int32_t value, int32_t index, void* pointer);     // OP_MESSAGE

    // Every call to the host goes through here; 0 without a callback.
    intptr_t callHost(int32_t opcode, int32_t index = 0, int32_t value = 0, void* pointer = nullptr,
                      float number = 0.0f);
    int32_t getBlockPosition();
    // Publishes a routine in the block and tells the host, unless it is already installed.
    void setProcessRoutine(ProcessRoutine routine, int32_t objectAdjust = 0, uint32_t word8 = 0,
                           uint32_t word12 = 0);
    void queueEvent(int32_t time, int32_t type, int32_t value, int32_t extra, uintptr_t target);
    void queueCall(int32_t time, MemberRoutine routine);

    // The pin at a host index, or null when the host reported no such pin.
    Pin* getPin(int32_t index);
    int32_t getPinCount() const { return pinCount; }

    ModuleBlock* getBlock() { return &block; }
    const ProcessBinding& getProcessBinding() const { return processBinding; }
    // The routine that does nothing, installed until a module installs its own.
    static void GRINDLET_CDECL emptyRoutine(void* object, int32_t offset, int32_t count);

protected:
    HostCallback hostCallback;
    ModuleBlock block;
    float sampleRate;
    int32_t blockSize;
    Pin* pins;         // owned, pinCount long
    int32_t pinCount;  // kept so that events for pins that do not exist can be refused
    ProcessBinding processBinding;

private:
    static intptr_t GRINDLET_CDECL dispatcherEntry(ModuleBlock* block, int32_t opcode,
                                                   int32_t index, int32_t value, void* pointer,
                                                   float number);
    static void GRINDLET_CDECL eventEntry(void* object, ModuleEvent* event);
    void buildPins();
    void freePins();
};

}  // namespace grindlet
