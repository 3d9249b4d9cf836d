// A host callback for tests: records every call and answers from a script of results.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "binding/abi/module_abi.h"

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

class RecordingHost {
public:
    RecordingHost();
    ~RecordingHost();
    // The callback to hand to a module; it records into the host current at construction.
    static intptr_t GRINDLET_CDECL callback(ModuleBlock* block, int32_t opcode, int32_t index,
                                            int32_t value, void* pointer, float number);
    void* handle() { return this; }

    int32_t pinCount = 6;
    int32_t blockPosition = 0;
    std::map<int32_t, intptr_t> pinBuffers;  // HOST_GET_PIN_BUFFER answers by pin index
    std::vector<RecordedCall> calls;
    // Called with each call after it is recorded (e.g. to look at the block meanwhile).
    void (*observer)(RecordingHost& host, const RecordedCall& call) = nullptr;
    std::vector<uint32_t> queuedEventWords;  // the first HOST_QUEUE_EVENT record, as 6 words

    std::vector<int32_t> opcodes() const;
    size_t count(int32_t opcode) const;

private:
    intptr_t answer(const RecordedCall& call);
};

}  // namespace grindlet::test
