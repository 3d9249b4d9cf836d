// One Pin per host pin: where its value lives, its status, and its dealings with the host.
#pragma once

#include <cstdint>

#include "abi/module_abi.h"

namespace grindlet {

class ModuleBase;

class Pin {
public:
    Pin() = default;
    virtual ~Pin() = default;
    Pin(const Pin&) = delete;
    Pin& operator=(const Pin&) = delete;

    // Called by open for each host pin: a module variable, own storage by datatype, or none.
    void initialise(ModuleBase* owner, int32_t pinIndex, int32_t pinDatatype, void* moduleVariable);

    int32_t getStatus() const { return status; }
    int32_t getIndex() const { return index; }
    int32_t getDatatype() const { return datatype; }
    void* getVariable() const { return variable; }

    // Tells the host this pin's new status at a block position.
    void sendStatus(int32_t blockPosition, int32_t newStatus);
    // Called by the event handler: stores the status, tells the module, then drops a one-off.
    void receiveStatus(int32_t newStatus);
    bool queryHost();
    intptr_t sendRequest(int32_t blockPosition, int32_t value);
    // The sample of this pin's stream at the host's current position; 0.0 without a buffer.
    float currentValue();

private:
    void* variable = nullptr;      // module member, &storage, or null
    ModuleBase* module = nullptr;  // the owning object
    int32_t index = -1;            // the host's pin index
    int32_t status = STATUS_STATIC;
    int32_t datatype = PIN_DATATYPE_UNDESCRIBED;
    union {
        int16_t list;    // PIN_DATATYPE_LIST
        uint8_t byte;    // PIN_DATATYPE_BYTE
        uintptr_t word;  // PIN_DATATYPE_FLOAT_STREAM (a buffer address), PIN_DATATYPE_WORD
    } storage{};
};

}  // namespace grindlet
