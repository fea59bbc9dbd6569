#include "extension/message_table.h"

#include "methods/method_list.h"
#include "velmora_version.h"

namespace velmora {

const char kMessageTable[] =
    "xtra Velmora\n"
    "\n"
    "-- Velmora " VELMORA_VERSION
    ": serial ports for scripts; open, set the line, write, read, close.\n"
    "\n"
#define VELMORA_DECLARATION_LINE(function, declaration) declaration "\n"
    VELMORA_METHOD_LIST(VELMORA_DECLARATION_LINE);
#undef VELMORA_DECLARATION_LINE

}  // namespace velmora
