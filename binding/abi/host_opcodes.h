// The opcodes a module object sends through the HostCallback. Arguments not named are 0.
#pragma once

#include <cstdint>

namespace grindlet {

constexpr int32_t HOST_SET_PIN_STATUS = 0;     // index pin, value status, pointer block position
constexpr int32_t HOST_QUERY_PIN = 1;          // index pin; true when not 0
constexpr int32_t HOST_GET_BLOCK_POSITION = 3; // result: the block position
constexpr int32_t HOST_PIN_REQUEST = 4;        // index pin, value, pointer block position
constexpr int32_t HOST_GET_PIN_BUFFER = 7;     // index pin; result: its sample buffer's address
constexpr int32_t HOST_GET_PIN_POSITION = 8;   // index pin; result: the pin's position
constexpr int32_t HOST_SLEEP = 10;             // stop calling the routine until a status change
constexpr int32_t HOST_GET_PIN_COUNT = 14;     // result: the number of pins
constexpr int32_t HOST_QUEUE_EVENT = 19;       // pointer: a ModuleEvent to copy and deliver later
constexpr int32_t HOST_PROCESS_CHANGED = 22;   // block.process names a new routine

}  // namespace grindlet
