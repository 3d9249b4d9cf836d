// Everything a host and a module agree on, in one include.
#pragma once

#include "host_opcodes.h"
#include "module_block.h"
#include "module_event.h"
#include "module_info.h"
#include "pin_info.h"
#include "process_binding.h"
