// The effect's six pins as a host sees them, in the host's numbering: the one description that
// the module reports and that grindlet-check and the tests hold a module file to.
#pragma once

#include <cstdint>

#include "binding/abi/pin_info.h"

namespace grindlet {

struct PinTableRow {
    const char* name;
    int32_t direction;
    int32_t datatype;
    const char* defaultValue;   // null: left as the caller cleared it
    const char* datatypeExtra;  // null: left as the caller cleared it
};

inline constexpr PinTableRow PIN_TABLE[] = {
    {"Input", PIN_DIRECTION_IN, PIN_DATATYPE_FLOAT_STREAM, "0", nullptr},
    {"Bits", PIN_DIRECTION_IN, PIN_DATATYPE_FLOAT_STREAM, "16", "24,1,24,1"},
    {"S.R.", PIN_DIRECTION_IN, PIN_DATATYPE_FLOAT_STREAM, "44100", "44100,11025,44100,11025"},
    {"Output", PIN_DIRECTION_OUT, PIN_DATATYPE_FLOAT_STREAM, nullptr, nullptr},
    {"Q.Mode", PIN_DIRECTION_IN, PIN_DATATYPE_LIST, "0", "Floor, Round, Inside"},
    {"R.Mode", PIN_DIRECTION_IN, PIN_DATATYPE_LIST, "0", "Step, Linear"},
};

inline constexpr int32_t PIN_TABLE_SIZE = sizeof PIN_TABLE / sizeof PIN_TABLE[0];

}  // namespace grindlet
