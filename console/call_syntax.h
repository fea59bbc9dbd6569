// One line of a call script: a method call by the message table's name, `wait MS`, or
// `expect "TEXT" [MS]`. Texts take the escapes \r \n \t \\ \" and \xNN; a # outside
// a text starts a comment.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "minihost/value.h"

namespace velmora::console {

struct Statement {
    enum class Kind { kNothing, kCall, kWait, kExpect };
    Kind kind = Kind::kNothing;
    std::string method;                 // kCall
    std::vector<minihost::Value> args;  // kCall
    std::string text;                   // kExpect
    std::int32_t milliseconds = 1000;   // kWait, kExpect
};

// False with the reason in *error for a line that is not a statement. Empty lines and
// comments ("#" or "--") give kNothing.
bool ParseStatement(const std::string& line, Statement* statement, std::string* error);

// How a call is shown: SetCommBaudRate 9600, WriteComm "AT\r\n".
std::string FormatCall(const std::string& method, const std::vector<minihost::Value>& args);

}  // namespace velmora::console
