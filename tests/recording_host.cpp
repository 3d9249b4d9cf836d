#include "recording_host.h"

#include <cstring>

namespace grindlet::test {

RecordingHost::RecordingHost() = default;
RecordingHost::~RecordingHost() = default;

intptr_t GRINDLET_CDECL RecordingHost::callback(ModuleBlock* block, int32_t opcode, int32_t index,
                                                int32_t value, void* pointer, float number) {
    auto* host = static_cast<RecordingHost*>(block->hostHandle);
    RecordedCall call{block, opcode, index, value, reinterpret_cast<intptr_t>(pointer), number};
    host->calls.push_back(call);
    if (opcode == HOST_QUEUE_EVENT && pointer != nullptr && host->queuedEventWords.empty()) {
        host->queuedEventWords.resize(6);
        std::memcpy(host->queuedEventWords.data(), pointer, 6 * sizeof(uint32_t));
    }
    if (host->observer != nullptr) host->observer(*host, call);
    return host->answer(call);
}

intptr_t RecordingHost::answer(const RecordedCall& call) {
    switch (call.opcode) {
        case HOST_GET_PIN_COUNT: return pinCount;
        case HOST_GET_BLOCK_POSITION: return blockPosition;
        case HOST_GET_PIN_BUFFER: {
            auto found = pinBuffers.find(call.index);
            return found != pinBuffers.end() ? found->second : 0;
        }
        default: return 0;
    }
}

std::vector<int32_t> RecordingHost::opcodes() const {
    std::vector<int32_t> result;
    for (const auto& call : calls) result.push_back(call.opcode);
    return result;
}

size_t RecordingHost::count(int32_t opcode) const {
    size_t n = 0;
    for (const auto& call : calls) n += call.opcode == opcode ? 1 : 0;
    return n;
}

}  // namespace grindlet::test
