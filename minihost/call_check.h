// A call by name checked against the message table the module registered, the way a
// host refuses a script line before the module sees it.
#pragma once

#include <string>
#include <vector>

#include "minihost/message_table_parser.h"
#include "minihost/value.h"

namespace velmora::minihost {

// The method's declaration when the call fits it: the method is declared, and gets as
// many arguments as it declares, each of the declared kind. Otherwise null, with the
// reason in *error as a script's author reads it.
const MethodDecl* CheckCall(const MessageTable& table, const std::string& method,
                            const std::vector<Value>& args, std::string* error);

}  // namespace velmora::minihost
