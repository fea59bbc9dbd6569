// Reads a message table the way a host does: the extension's name, then one method
// declaration a line; empty lines and lines beginning with "--" are skipped.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velmora::minihost {

struct ParamDecl {
    enum class Type { kInteger, kString };
    Type type;
    std::string name;
};

struct MethodDecl {
    std::string name;
    std::int32_t number;
    std::vector<ParamDecl> params;
};

struct MessageTable {
    std::string extension;
    std::vector<MethodDecl> methods;

    const MethodDecl* Find(const std::string& name) const;
};

bool ParseMessageTable(const std::string& text, MessageTable* table, std::string* error);

}  // namespace velmora::minihost
