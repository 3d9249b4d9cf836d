#include "pin.h"

#include "module_base.h"

namespace grindlet {

void Pin::initialise(ModuleBase* owner, int32_t pinIndex, int32_t pinDatatype,
                     void* moduleVariable) {
    module = owner;
    index = pinIndex;
    datatype = pinDatatype;
    variable = moduleVariable;
    status = STATUS_STATIC;
    if (variable != nullptr) {
        storage.word = 0;
        return;
    }
    switch (datatype) {
        case PIN_DATATYPE_LIST:
            variable = &storage;
            storage.list = 0;
            break;
        case PIN_DATATYPE_BYTE:
            variable = &storage;
            storage.byte = 0;
            break;
        case PIN_DATATYPE_WORD:
            variable = &storage;
            storage.word = 0;
            break;
        case PIN_DATATYPE_FLOAT_STREAM:
            storage.word = static_cast<uintptr_t>(module->callHost(HOST_GET_PIN_BUFFER, index));
            variable = &storage;
            break;
        default:  // no storage of its own: the variable stays null
            break;
    }
}

void Pin::sendStatus(int32_t blockPosition, int32_t newStatus) {
    module->callHost(HOST_SET_PIN_STATUS, index, newStatus,
                     reinterpret_cast<void*>(static_cast<intptr_t>(blockPosition)));
}

void Pin::receiveStatus(int32_t newStatus) {
    status = newStatus;
    module->onPinStatusChange(*this);
    if (newStatus == STATUS_ONE_OFF) status = STATUS_STATIC;
}

bool Pin::queryHost() { return module->callHost(HOST_QUERY_PIN, index) != 0; }

intptr_t Pin::sendRequest(int32_t blockPosition, int32_t value) {
    return module->callHost(HOST_PIN_REQUEST, index, value,
                            reinterpret_cast<void*>(static_cast<intptr_t>(blockPosition)));
}

float Pin::currentValue() {
    const auto pinPosition = static_cast<int32_t>(module->callHost(HOST_GET_PIN_POSITION, index));
    const int32_t blockPosition = module->getBlockPosition();
    const float* buffer = variable ? *static_cast<const float* const*>(variable) : nullptr;
    if (buffer == nullptr) return 0.0f;
    return buffer[blockPosition - pinPosition];
}

}  // namespace grindlet
