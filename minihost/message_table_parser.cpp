#include "minihost/message_table_parser.h"

#include <sstream>

namespace velmora::minihost {

namespace {

std::string Trim(const std::string& s) {
    const auto first = s.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    return s.substr(first, s.find_last_not_of(' ') - first + 1);
}

bool ParseParam(const std::string& text, ParamDecl* param) {
    std::istringstream words(text);
    std::string type, name, extra;
    if (!(words >> type >> name) || (words >> extra)) return false;
    if (type == "integer") {
        param->type = ParamDecl::Type::kInteger;
    } else if (type == "string") {
        param->type = ParamDecl::Type::kString;
    } else {
        return false;
    }
    param->name = name;
    return true;
}

}  // namespace

const MethodDecl* MessageTable::Find(const std::string& name) const {
    for (const MethodDecl& method : methods) {
        if (method.name == name) return &method;
    }
    return nullptr;
}

bool ParseMessageTable(const std::string& text, MessageTable* table, std::string* error) {
    std::istringstream lines(text);
    std::string line;
    int lineNumber = 0;
    MessageTable parsed;
    const auto fail = [&](const std::string& why) {
        *error = "message table line " + std::to_string(lineNumber) + ": " + why;
        return false;
    };
    while (std::getline(lines, line)) {
        ++lineNumber;
        if (line.find('\r') != std::string::npos) return fail("carriage return");
        if (line.empty() || line.rfind("--", 0) == 0) continue;
        if (parsed.extension.empty()) {
            if (line.rfind("xtra ", 0) != 0) return fail("expected \"xtra NAME\"");
            parsed.extension = Trim(line.substr(5));
            if (parsed.extension.empty()) return fail("extension without a name");
            continue;
        }
        std::size_t comma = line.find(',');
        const std::string head = line.substr(0, comma);
        std::istringstream words(head);
        std::string name, object, me, extra;
        if (!(words >> name >> object >> me) || object != "object" || me != "me" ||
            (words >> extra)) {
            return fail("expected \"NAME object me\"");
        }
        MethodDecl method{name, static_cast<std::int32_t>(parsed.methods.size()), {}};
        while (comma != std::string::npos) {
            const std::size_t next = line.find(',', comma + 1);
            ParamDecl param;
            if (!ParseParam(line.substr(comma + 1, next - comma - 1), &param)) {
                return fail("bad parameter in " + name);
            }
            method.params.push_back(param);
            comma = next;
        }
        parsed.methods.push_back(std::move(method));
    }
    if (parsed.extension.empty()) return fail("no \"xtra\" line");
    *table = std::move(parsed);
    return true;
}

}  // namespace velmora::minihost
