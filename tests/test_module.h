// A small module on the framework for tests: descriptions from a table, calls recorded.
#pragma once

#include <cstdint>
#include <vector>

#include "binding/module_base.h"

namespace grindlet::test {

class TestModule : public ModuleBase {
public:
    using ModuleBase::ModuleBase;

    struct Description {
        int32_t datatype;
        bool ownVariable;  // describe a member of this module as the variable
        uint32_t flags;
    };
    std::vector<Description> descriptions;
    std::vector<int32_t> pinInfoCalls;
    std::vector<int32_t> statusSeenDuringChange;
    std::vector<int32_t> dataEvent;  // time, value, value16 of the last EVENT_DATA
    int32_t closeCalls = 0;
    uint32_t variables[16] = {};
    bool* destroyed = nullptr;

    ~TestModule() override {
        if (destroyed != nullptr) *destroyed = true;
    }
    bool getPinInfo(int32_t index, PinInfo* info) override {
        pinInfoCalls.push_back(index);
        if (index < 0 || static_cast<size_t>(index) >= descriptions.size()) return false;
        const Description& d = descriptions[index];
        info->datatype = d.datatype;
        info->variable = d.ownVariable ? &variables[index] : nullptr;
        info->flags = d.flags;
        info->name = "pin";
        return true;
    }
    void onPinStatusChange(Pin& pin) override { statusSeenDuringChange.push_back(pin.getStatus()); }
    void onDataEvent(int32_t time, int32_t value, int32_t value16) override {
        dataEvent = {time, value, value16};
    }
    void close() override { ++closeCalls; }

    // Protected members, for assertions.
    float sampleRateValue() const { return sampleRate; }
    int32_t blockSizeValue() const { return blockSize; }
    HostCallback callbackValue() const { return hostCallback; }
};

}  // namespace grindlet::test
