// grindlet-check: the identity, the exports, the block, the dispatcher and the pin table.
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>

#include "checks.h"
#include "effect/pin_table.h"

namespace grindlet::check {

using namespace grindlet::host;

namespace {

Outcome identityOfModuleZero(CheckContext& c) {
    const ModuleIdentity id = readIdentity(c.library, 0);
    if (id.result != 1)
        return failWith("getModuleProperties(0) returned " + std::to_string(id.result));
    if (id.name != "QZ-Grindlet" || id.id != "QZ-Grindlet")
        return failWith("name/id " + id.name + "/" + id.id);
    if (id.about.rfind("Grindlet v1.2\n", 0) != 0) return failWith("about text " + id.about);
    if (id.sdkVersion != MODULE_SDK_VERSION)
        return failWith("sdk version " + std::to_string(id.sdkVersion));
    return pass();
}

Outcome noModuleAtIndexOne(CheckContext& c) {
    ModuleInfo info{};
    info.hostWord12 = 0x1234;
    const int32_t result = c.library.getModuleProperties()(1, &info);
    if (result != 0 || info.name || info.id || info.about || info.hostWord12 != 0x1234 ||
        info.sdkVersion != MODULE_SDK_VERSION) {
        return failWith("index 1 answered or wrote more than the version");
    }
    return pass();
}

Outcome makeServesOnlyIndexZero(CheckContext& c) {
    if (c.library.makeModule()(0, 2, nullptr, nullptr) != nullptr)
        return failWith("kind 2 made an object");
    if (c.library.makeModule()(1, 1, nullptr, nullptr) != nullptr)
        return failWith("index 1 made an object");
    return pass();
}

Outcome blockAfterMake(CheckContext& c) {
    std::string error;
    HostedModule module(c.library);
    if (!module.make(error)) return failWith(error);
    // The block as the host sees it: read by the record's own layout.
    ModuleBlock seen;
    std::memcpy(&seen, module.block(), sizeof seen);
    if (seen.magic != MODULE_BLOCK_MAGIC || seen.version != MODULE_BLOCK_VERSION) {
        return failWith("magic or version");
    }
    if (seen.hostHandle != module.handle()) return failWith("host handle");
    if (seen.object == nullptr || seen.dispatcher == nullptr || seen.process == nullptr ||
        seen.event == nullptr) {
        return failWith("null entry");
    }
    if (seen.reserved16 != 0) return failWith("reserved word at offset 16 not 0");
    for (uint32_t word : seen.reserved32) {
        if (word != 0) return failWith("reserved word at offset 32 to 44 not 0");
    }
    if (!module.calls().empty()) return failWith("construction called the host");
    return pass();
}

Outcome unservedOpcodes(CheckContext& c) {
    std::string error;
    HostedModule module(c.library);
    if (!module.make(error)) return failWith(error);
    for (int32_t opcode : {4, 5, 7, 9, 10, 11, 14, 255, -1}) {
        if (module.dispatch(opcode, 0, 0, nullptr, 1.0f) != 0)
            return failWith("opcode " + std::to_string(opcode));
    }
    for (int32_t index = 0; index < 8; ++index) {
        PinInfo info{};
        const intptr_t result = module.dispatch(OP_GET_PIN_INFO, index, 0, &info);
        if (result != (index < 6 ? 1 : 0)) return failWith("pin info " + std::to_string(index));
    }
    if (module.dispatch(OP_SET_SAMPLE_RATE, 0, 0, nullptr, 48000.0f) != 0)
        return failWith("sample rate");
    if (module.dispatch(OP_SET_BLOCK_SIZE, 0, 256) != 0) return failWith("block size");
    return pass();
}

Outcome sharedProcessBinding(CheckContext& c) {
    std::string error;
    HostedModule a(c.library), b(c.library);
    if (!a.make(error) || !b.make(error)) return failWith(error);
    const auto* first =
        reinterpret_cast<const ProcessBindingRecord*>(a.dispatch(OP_GET_PROCESS_BINDING));
    const ProcessBinding* bindingA = first ? first->binding : nullptr;
    const auto* second =
        reinterpret_cast<const ProcessBindingRecord*>(b.dispatch(OP_GET_PROCESS_BINDING));
    if (first == nullptr || first != second) return failWith("not one shared record");
    if (second->kind != BINDING_RECORD_KIND || second->bindingSize != sizeof(ProcessBinding) ||
        second->reserved12 != 0)
        return failWith("record words");
    if (second->binding == bindingA || second->binding == nullptr)
        return failWith("does not name the latest requester");
    const ProcessBinding* binding = second->binding;
    if (binding->routine != b.block()->process) return failWith("binding is not block.process");
    return pass();
}

Outcome pinDescriptions(CheckContext& c) {
    std::string error;
    HostedModule module(c.library);
    if (!module.make(error)) return failWith(error);
    const auto& pins = module.describePins();
    if (pins.size() != static_cast<size_t>(PIN_TABLE_SIZE))
        return failWith(std::to_string(pins.size()) + " pins described");
    const auto text = [](const char* value) { return value != nullptr ? value : ""; };
    for (size_t i = 0; i < pins.size(); ++i) {
        const PinDescription& p = pins[i];
        const PinTableRow& row = PIN_TABLE[i];
        if (p.name != row.name || p.defaultValue != text(row.defaultValue) ||
            p.datatypeExtra != text(row.datatypeExtra) || p.info.direction != row.direction ||
            p.info.datatype != row.datatype || p.info.variable == nullptr || p.info.flags != 0) {
            return failWith("pin " + std::to_string(i) + " \"" + p.name + "\"");
        }
    }
    return pass();
}

}  // namespace

void registerIdentityChecks(CheckRegistry& registry) {
    registry.add("identity of module 0", identityOfModuleZero);
    registry.add("no module at index 1, version still written", noModuleAtIndexOne);
    registry.add("makeModule serves only index 0, kind 1", makeServesOnlyIndexZero);
    registry.add("block contents after make", blockAfterMake);
    registry.add("dispatcher: unserved opcodes answer 0, pin info 1 or 0", unservedOpcodes);
    registry.add("process binding record is shared and names the latest requester",
                 sharedProcessBinding);
    registry.add("pin descriptions", pinDescriptions);
}

}  // namespace grindlet::check
