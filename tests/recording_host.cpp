#include "recording_host.h"

#include <cstring>

namespace grindlet::test {

RecordingHost::RecordingHost() {
    setReportedPinCount(6);
    setPinPosition(0);
    onCall = [this](const host::HostCall& call) {
        const RecordedCall recorded{call.block, call.opcode,  call.index,
                                    call.value, call.pointer, call.number};
        calls.push_back(recorded);
        if (call.opcode == HOST_QUEUE_EVENT && call.pointer != 0 && queuedEventWords.empty()) {
            queuedEventWords.resize(6);
            std::memcpy(queuedEventWords.data(), reinterpret_cast<const void*>(call.pointer),
                        6 * sizeof(uint32_t));
        }
        if (observer != nullptr) observer(*this, recorded);
    };
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
