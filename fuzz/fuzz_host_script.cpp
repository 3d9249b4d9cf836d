// libFuzzer target: the input is a script of host actions on a pair of twin effect objects.
// Both get every dispatcher call, event and control value; each process call runs on the
// first object in one call and on the second split in two at a point the script picks.
// What must always hold: no crash or sanitizer report, nothing written outside
// [offset, offset + count), and the twins' outputs equal bit for bit.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

#include "binding/module_base.h"
#include "effect/exports.h"
#include "effect/reducer_module.h"
#include "fuzz/fuzz_script.h"
#include "host/hosted_module.h"
#include "host/sample_checks.h"
#include "tests/fast_vs_reference.h"
#include "tests/special_floats.h"

using namespace grindlet;

namespace {

constexpr int32_t BUFFER = 512;
constexpr int32_t MAX_PINS = 8;

using fuzz::Script;

// Control and sample values: mostly ones that matter, sometimes any bit pattern.
float anyNumber(Script& script) {
    // Control values that matter ("Bits" and "S.R." in tenths), then the special floats.
    static constexpr float ORDINARY[] = {1.0f, -1.0f,   0.2f,    1.6f,   2.3f,  2.4f,
                                         0.1f, 4410.0f, 1102.5f, 441.0f, 1e-7f, 0.05f};
    static constexpr auto specials = test::withSpecialFloats(ORDINARY);
    return script.pick(specials.data(), specials.size(), 200);
}

// One object as a host holds it: our host (which answers the module's calls), the pin count
// it reports, the buffers and list values it writes into the pins.
struct HostedObject {
    std::unique_ptr<host::HostedModule> module;
    int32_t pinCount = 6;
    float buffers[MAX_PINS][BUFFER] = {};
    int16_t lists[MAX_PINS] = {};
    bool opened = false;
    ModuleBlock* block() const { return module ? module->block() : nullptr; }
};

const host::ModuleLibrary& linkedModule() {
    static const auto library =
        host::ModuleLibrary::linkedIn(&getModuleProperties, &makeModule, "linked-in");
    return *library;
}

int memberCalls = 0;
void GRINDLET_MEMBERCALL countMemberCall(ModuleBase*) { ++memberCalls; }

// After open the host writes each described variable: buffer addresses and list indices.
void writePinValues(HostedObject& object) {
    for (int32_t pin = 0; pin < 6 && pin < object.pinCount; ++pin) {
        PinInfo info{};
        if (object.module->dispatch(OP_GET_PIN_INFO, pin, 0, &info) == 0) continue;
        if (info.variable == nullptr) continue;
        if (info.datatype == PIN_DATATYPE_FLOAT_STREAM) {
            float* address = object.buffers[pin];
            std::memcpy(info.variable, &address, sizeof address);
        } else if (info.datatype == PIN_DATATYPE_LIST) {
            std::memcpy(info.variable, &object.lists[pin], sizeof(int16_t));
        }
    }
}

struct Twins {
    HostedObject objects[2];

    void make(int32_t pinCount) {
        close();
        apart = false;
        for (HostedObject& o : objects) {
            o.pinCount = pinCount;
            o.opened = false;
            o.module = std::make_unique<host::HostedModule>(linkedModule());
            o.module->setReportedPinCount(pinCount);
            for (int32_t pin = 0; pin < MAX_PINS; ++pin) {
                o.module->setPinBuffer(pin, reinterpret_cast<intptr_t>(o.buffers[pin]));
            }
            o.module->onCall = [](const host::HostCall& call) {
                if (call.opcode == HOST_QUEUE_EVENT && call.pointer == 0)
                    std::abort();  // a record it built
            };
            std::string error;
            if (!o.module->make(error)) std::abort();
        }
    }
    void close() {
        for (HostedObject& o : objects) o.module.reset();  // closes the object if it is open
    }
    bool alive() const { return objects[0].block() != nullptr; }

    void dispatch(int32_t opcode, int32_t index, int32_t value, float number) {
        for (HostedObject& o : objects) {
            PinInfo info{};
            void* pointer = opcode == OP_GET_PIN_INFO ? static_cast<void*>(&info) : nullptr;
            const intptr_t result = o.module->dispatch(opcode, index, value, pointer, number);
            if (static_cast<uint32_t>(opcode) == OP_CLOSE) {
                if (result != 1) std::abort();
            } else if (static_cast<uint32_t>(opcode) == OP_OPEN) {
                o.opened = true;
                writePinValues(o);
            } else if (static_cast<uint32_t>(opcode) == OP_GET_PIN_INFO && result != 0 &&
                       result != 1) {
                std::abort();
            }
        }
    }

    void event(int32_t time, int32_t type, int32_t value, int32_t extra, uint32_t target) {
        for (HostedObject& o : objects) {
            ModuleEvent e{time, type, value, extra, target, 0};
            o.block()->event(o.block()->object, &e);
        }
    }

    void setLists(int16_t quantMode, int16_t rateMode) {
        for (HostedObject& o : objects) {
            o.lists[4] = quantMode;
            o.lists[5] = rateMode;
            if (o.opened) writePinValues(o);
        }
    }

    void process(int32_t offset, int32_t count, int32_t split, float bits, float rate,
                 const float* input) {
        for (int which = 0; which < 2; ++which) {
            HostedObject& o = objects[which];
            std::memcpy(o.buffers[0], input, sizeof o.buffers[0]);
            for (int32_t i = 0; i < BUFFER; ++i) std::memcpy(&o.buffers[3][i], &SENTINEL_BITS, 4);
            // Controls are read at each call's first sample; the rest of the stream is noise.
            for (int32_t i = 0; i < BUFFER; ++i) o.buffers[1][i] = o.buffers[2][i] = -7.0f;
            o.buffers[1][offset] = bits;
            o.buffers[2][offset] = rate;
            if (which == 0) {
                o.block()->process(o.block()->object, offset, count);
            } else {
                if (offset + split < BUFFER) {  // the second call's first sample, if it has one
                    o.buffers[1][offset + split] = bits;
                    o.buffers[2][offset + split] = rate;
                }
                o.block()->process(o.block()->object, offset, split);
                const dsp::RateReducerState& state = reducerOf(o);
                // The first call ended with a ramp that ran past its target stopped there, which
                // one call would not have done: the twins may differ until their next take.
                if (state.rampStep != 0.0f &&
                    floatBits(state.rampValue) == floatBits(state.heldValue))
                    apart = true;
                o.block()->process(o.block()->object, offset + split, count - split);
            }
        }
        const float* one = objects[0].buffers[3];
        const float* two = objects[1].buffers[3];
        for (int32_t i = 0; i < BUFFER; ++i) {
            const bool inside = i >= offset && i < offset + count;
            if (!inside &&
                (floatBits(one[i]) != SENTINEL_BITS || floatBits(two[i]) != SENTINEL_BITS)) {
                std::fprintf(stderr, "sample %d outside [%d, %d) was written\n", i, offset,
                             offset + count);
                std::abort();
            }
            if (!apart && floatBits(one[i]) != floatBits(two[i])) {
                std::fprintf(stderr, "sample %d: one call %08x, split at %d %08x\n", i,
                             floatBits(one[i]), split, floatBits(two[i]));
                std::abort();
            }
        }
        if (apart && test::firstDifference(reducerOf(objects[0]), reducerOf(objects[1])) == nullptr)
            apart = false;
    }

    static const dsp::RateReducerState& reducerOf(const HostedObject& o) {
        return static_cast<const ReducerModule*>(static_cast<const ModuleBase*>(o.block()->object))
            ->reducerState();
    }

    bool apart = false;  // the twins' states differ since a split stopped a ramp
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Script script{data, size};
    Twins twins;
    float input[BUFFER];
    for (int32_t i = 0; i < BUFFER; ++i) input[i] = static_cast<float>((i * 37) % 101 - 50) / 50.0f;
    float bits = 1.6f, rate = 441.0f;
    ModuleInfo info{};
    getModuleProperties(static_cast<int32_t>(script.byte() % 3) - 1, &info);
    twins.make(6);
    const bool trace = std::getenv("GRINDLET_FUZZ_TRACE") != nullptr;
    int steps = 0;
    while (!script.done() && steps++ < 256) {
        if (!twins.alive()) twins.make(script.byte() % (MAX_PINS + 1));
        const uint8_t action = script.byte() % 8;
        if (trace) std::fprintf(stderr, "action %d at byte %zu\n", action, script.at);
        switch (action) {
            case 0:
                twins.make(script.byte() % (MAX_PINS + 1));
                break;
            case 1: {
                const uint8_t pick = script.byte();
                const int32_t opcode = pick < 240 ? pick % 16 : static_cast<int32_t>(script.word());
                const auto index = static_cast<int32_t>(script.word());
                const auto value = static_cast<int32_t>(script.word());
                const float number = anyNumber(script);
                if (trace)
                    std::fprintf(stderr, "  dispatch %d %d %d %g\n", opcode, index, value,
                                 double(number));
                twins.dispatch(opcode, index, value, number);
                break;
            }
            case 2: {
                const uint8_t pick = script.byte();
                const int32_t type = pick % 4 == 0   ? EVENT_PIN_STATUS
                                     : pick % 4 == 1 ? EVENT_DATA
                                     : pick % 4 == 2 ? EVENT_CALL
                                                     : static_cast<int32_t>(script.word());
                const int32_t value = script.byte() % 4 == 0 ? static_cast<int32_t>(script.word())
                                                             : script.byte() % 3;
                uint32_t target = script.byte() % 8 == 0 ? script.word() : script.byte() % 7;
                if (type == EVENT_CALL)
                    target = script.byte() % 2 ? reinterpret_cast<uint32_t>(&countMemberCall) : 0;
                if (trace)
                    std::fprintf(stderr, "  event type %d value %d target %u\n", type, value,
                                 target);
                twins.event(static_cast<int32_t>(script.word()), type, value,
                            static_cast<int32_t>(script.word()), target);
                break;
            }
            case 3: {
                const auto q = static_cast<int16_t>(script.byte() % 5 == 0 ? script.word()
                                                                           : script.byte() % 4);
                const auto r = static_cast<int16_t>(script.byte() % 5 == 0 ? script.word()
                                                                           : script.byte() % 2);
                if (trace) std::fprintf(stderr, "  lists %d %d\n", q, r);
                twins.setLists(q, r);
                break;
            }
            case 4:
                bits = anyNumber(script);
                rate = anyNumber(script);
                if (trace) std::fprintf(stderr, "  bits %g rate %g\n", double(bits), double(rate));
                break;
            case 5: {
                const int32_t from = script.byte() * 2;
                const int32_t length = script.byte();
                for (int32_t i = from; i < from + length && i < BUFFER; ++i)
                    input[i] = anyNumber(script);
                break;
            }
            case 6: {
                const int32_t offset = static_cast<int32_t>(script.word() % BUFFER);
                const int32_t count = static_cast<int32_t>(script.word() % (BUFFER - offset + 1));
                const int32_t split =
                    count > 0 ? static_cast<int32_t>(script.word() % (count + 1)) : 0;
                if (trace) std::fprintf(stderr, "  process %d %d split %d\n", offset, count, split);
                twins.process(offset, count, split, bits, rate, input);
                break;
            }
            case 7:
                twins.dispatch(script.byte() % 2 ? OP_SET_SAMPLE_RATE : OP_SET_BLOCK_SIZE, 0,
                               static_cast<int32_t>(script.word() % 4096) - 16,
                               anyNumber(script) * 10.0f);
                break;
        }
    }
    twins.close();
    return 0;
}
