// Everything a host and a module agree on, in one include.
//
// Calling contexts. Every entry and opcode in these headers is tagged with who calls it, when,
// and what must hold then:
//   [load]    the host, once per load of the library, before any object exists
//   [main]    the host's main thread: not real-time; the module may allocate
//   [audio]   the host's audio thread: real-time; the module allocates nothing, takes no lock
//             and calls the host only with opcodes tagged [audio]
//   [!open]   before OP_OPEN;  [open]  after OP_OPEN and before OP_CLOSE
//   [nested]  made by the module, from inside a call the host is making into it
// The host never calls into one object from two threads at once, so [main] and [audio] calls
// on one object never overlap; calls on different objects may.
//
// The order of a host's calls, as the module relies on it:
//   1. getModuleProperties(0, info)                                   [load]
//   2. makeModule(0, MODULE_KIND_AUDIO, callback, handle) -> block    [main]  one per object
//   3. dispatcher: OP_SET_SAMPLE_RATE, OP_SET_BLOCK_SIZE,
//      OP_GET_PIN_INFO (any index, any number of times)               [main, !open]
//   4. dispatcher: OP_OPEN                                            [main]
//        nested: HOST_GET_PIN_COUNT, HOST_GET_BLOCK_POSITION, HOST_SET_PIN_STATUS
//   5. the host writes each pin's value into the variable its PinInfo names
//   6. event entry: EVENT_PIN_STATUS for the pins                     [audio, open]
//        nested: HOST_GET_BLOCK_POSITION, HOST_SET_PIN_STATUS, HOST_PROCESS_CHANGED
//   7. block.process(object, offset, count), once per block, the routine the block names
//      at that moment (re-read after HOST_PROCESS_CHANGED)           [audio, open]
//        nested: HOST_SLEEP; the host may stop calling until the next status change
//   8. dispatcher: OP_CLOSE: the object closes and deletes itself     [main]
// Steps 5 to 7 repeat in any interleaving; OP_OPEN may be sent again (the pins are rebuilt).
//
// The module object's virtual operations, in declaration order (binding/module_base.h). A host
// reaches them only through the entries above (the dispatcher, the event entry, the process
// routines); it never calls through the object's table. Both builds are made by g++ (MinGW for
// Windows), whose tables follow the Itanium C++ ABI: the destructor takes two slots (complete
// object, then deleting), so every later operation sits one slot further on than in a table with
// a single destructor entry. The slots as built (tests/test_module_base.cpp checks them):
//    0 destructor (complete)                                       [main]
//    1 destructor (deleting)  OP_CLOSE deletes through it          [main]
//    2 onPinStatusChange     after a pin's status is stored        [audio, open]
//    3 onEvent               the event entry                       [audio, open]
//    4 dispatch              the dispatcher entry                  [main]
//    5 open                  OP_OPEN                               [main]
//    6 close                 OP_CLOSE, before deletion             [main]
//    7 unusedOperation6      never invoked
//    8 setSampleRate         OP_SET_SAMPLE_RATE                    [main, !open]
//    9 setBlockSize          OP_SET_BLOCK_SIZE                     [main, !open]
//   10 getSampleRate                                               [any]
//   11 getBlockSize                                                [any]
//   12 getPinInfo            OP_GET_PIN_INFO, and open             [main]
//   13 unusedOperation12     never invoked
//   14 unusedOperation13     never invoked
//   15 onNotify              OP_NOTIFY                             [main]
//   16 onDataEvent           EVENT_DATA                            [audio, open]
//   17 onMessage             OP_MESSAGE                            [main]
#pragma once

#include "host_opcodes.h"
#include "module_block.h"
#include "module_event.h"
#include "module_info.h"
#include "pin_info.h"
#include "process_binding.h"
