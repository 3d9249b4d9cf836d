#include "reducer_module.h"

#include <climits>

#include "pin_table.h"

namespace grindlet {

namespace {

constexpr char MODULE_NAME[] = "QZ-Grindlet";
constexpr char MODULE_ID[] = "QZ-Grindlet";
constexpr char MODULE_ABOUT[] =
    "Grindlet v1.2\n"
    "Sample-rate and bit-depth reducer\n"
    "By the QZ-Grindlet developers";

static_assert(PIN_TABLE_SIZE == ReducerModule::PIN_COUNT);

ReducerModule* fromObject(void* object) {
    return static_cast<ReducerModule*>(static_cast<ModuleBase*>(object));
}

}  // namespace

ReducerModule::ReducerModule(HostCallback callback, void* hostHandle)
    : ModuleBase(callback, hostHandle),
      streams(),
      reducer(),
      quantMode(0),
      rateMode(0),
      flushRemaining(0) {}

void ReducerModule::fillModuleInfo(ModuleInfo* info) {
    info->name = MODULE_NAME;
    info->id = MODULE_ID;
    info->about = MODULE_ABOUT;
}

bool ReducerModule::getPinInfo(int32_t index, PinInfo* info) {
    if (index < 0 || index >= PIN_COUNT) return false;
    void* const variables[PIN_COUNT] = {&streams.inputBuffer, &streams.bitsBuffer,
                                        &streams.rateBuffer,  &streams.outputBuffer,
                                        &quantMode,           &rateMode};
    const PinTableRow& pin = PIN_TABLE[index];
    info->name = pin.name;
    info->variable = variables[index];
    info->direction = pin.direction;
    info->datatype = pin.datatype;
    if (pin.defaultValue != nullptr) info->defaultValue = pin.defaultValue;
    if (pin.datatypeExtra != nullptr) info->datatypeExtra = pin.datatypeExtra;
    return true;
}

void ReducerModule::open() {
    ModuleBase::open();
    dsp::resetRateReducer(reducer, sampleRate);
    if (Pin* output = getPin(PIN_OUTPUT)) {
        output->sendStatus(getBlockPosition(), STATUS_STREAMING);
    }
}

void ReducerModule::onPinStatusChange(Pin&) {
    // Without an input pin there is nothing to stream.
    const Pin* input = getPin(PIN_INPUT);
    const int32_t inputStatus = input != nullptr ? input->getStatus() : STATUS_STATIC;
    if (Pin* output = getPin(PIN_OUTPUT)) {
        output->sendStatus(getBlockPosition(), inputStatus);
    }
    if (inputStatus < STATUS_STREAMING) {
        flushRemaining = getBlockSize();
        setProcessRoutine(&processFlush);
    } else {
        setProcessRoutine(rateMode == RATE_MODE_STEP ? &processStep : &processLinear);
    }
}

void ReducerModule::runReducer(bool linear, int32_t offset, int32_t count) {
    // A host that never wrote a buffer address gets no output rather than a crash.
    if (streams.inputBuffer == nullptr || streams.bitsBuffer == nullptr ||
        streams.rateBuffer == nullptr || streams.outputBuffer == nullptr) {
        return;
    }
    dsp::processBlock(reducer, streams, sampleRate, quantMode, linear, offset, count);
}

void GRINDLET_CDECL ReducerModule::processStep(void* object, int32_t offset, int32_t count) {
    if (count < 0) count = 0;
    fromObject(object)->runReducer(false, offset, count);
}

void GRINDLET_CDECL ReducerModule::processLinear(void* object, int32_t offset, int32_t count) {
    if (count < 0) count = 0;
    fromObject(object)->runReducer(true, offset, count);
}

void GRINDLET_CDECL ReducerModule::processFlush(void* object, int32_t offset, int32_t count) {
    if (count < 0) count = 0;
    ReducerModule* self = fromObject(object);
    self->runReducer(self->rateMode != RATE_MODE_STEP, offset, count);
    self->flushRemaining = flushRemainingAfter(self->flushRemaining, count);
    if (self->flushRemaining <= 0) self->callHost(HOST_SLEEP);
}

int32_t ReducerModule::flushRemainingAfter(int32_t remaining, int32_t count) {
    const int64_t left = int64_t{remaining} - count;
    return left < INT32_MIN ? INT32_MIN : static_cast<int32_t>(left);
}

}  // namespace grindlet
