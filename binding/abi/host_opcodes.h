// The opcodes a module object sends through the HostCallback, always [nested]: from inside a
// call the host is making into that object. Arguments not named are 0. Those tagged [audio]
// are the only ones made from the event entry or a process routine, so the host must answer
// them in real time.
#pragma once

#include <cstdint>

namespace grindlet {

// [audio] index pin, value status, pointer block position
constexpr int32_t HOST_SET_PIN_STATUS = 0;
// [audio] index pin; true when not 0
constexpr int32_t HOST_QUERY_PIN = 1;
// [audio] result: the block position
constexpr int32_t HOST_GET_BLOCK_POSITION = 3;
// [audio] index pin, value, pointer block position
constexpr int32_t HOST_PIN_REQUEST = 4;
// [main] index pin; result: its sample buffer's address
constexpr int32_t HOST_GET_PIN_BUFFER = 7;
// [main] index pin; result: the pin's position
constexpr int32_t HOST_GET_PIN_POSITION = 8;
// [audio] stop calling the routine until a status change
constexpr int32_t HOST_SLEEP = 10;
// [main] during OP_OPEN; result: the number of pins
constexpr int32_t HOST_GET_PIN_COUNT = 14;
// [audio] pointer: a ModuleEvent the host copies during the call and delivers before the block
// in which its time falls; the record is the module's and is not kept.
constexpr int32_t HOST_QUEUE_EVENT = 19;
// [audio] block.process names a new routine
constexpr int32_t HOST_PROCESS_CHANGED = 22;

}  // namespace grindlet
