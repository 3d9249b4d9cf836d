// The host for framework tests: our one host (host::HostedModule) for objects the tests
// construct themselves, with a recording hook. It reports 6 pins, answers the pin position
// with 0, and keeps every call, with the first event the module queued.
#pragma once

#include <cstdint>
#include <vector>

#include "host/hosted_module.h"

namespace grindlet::test {

struct RecordedCall {
    ModuleBlock* block;
    int32_t opcode;
    int32_t index;
    int32_t value;
    intptr_t pointer;
    float number;
    bool operator==(const RecordedCall& other) const {
        return opcode == other.opcode && index == other.index && value == other.value &&
               pointer == other.pointer;
    }
};

class RecordingHost : public host::HostedModule {
public:
    RecordingHost();

    std::vector<RecordedCall> calls;
    std::vector<uint32_t> queuedEventWords;  // the first HOST_QUEUE_EVENT record, as 6 words
    // Called with each call after it is recorded (e.g. to look at the block meanwhile).
    void (*observer)(RecordingHost& host, const RecordedCall& call) = nullptr;

    std::vector<int32_t> opcodes() const;
    size_t count(int32_t opcode) const;
};

}  // namespace grindlet::test
