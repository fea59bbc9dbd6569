#include "minihost/call_check.h"

namespace velmora::minihost {

const MethodDecl* CheckCall(const MessageTable& table, const std::string& method,
                            const std::vector<Value>& args, std::string* error) {
    const MethodDecl* decl = table.Find(method);
    if (decl == nullptr) {
        *error = "no method \"" + method + "\" in " + table.extension + "'s message table";
        return nullptr;
    }
    if (args.size() != decl->params.size()) {
        *error = method + " takes " + std::to_string(decl->params.size()) + " argument" +
                 (decl->params.size() == 1 ? "" : "s") + ", not " + std::to_string(args.size());
        return nullptr;
    }
    for (std::size_t i = 0; i < args.size(); ++i) {
        const bool wantsText = decl->params[i].type == ParamDecl::Type::kString;
        const Value::Kind want = wantsText ? Value::Kind::kText : Value::Kind::kInteger;
        if (args[i].kind != want) {
            *error = method + "'s " + decl->params[i].name + " must be " +
                     (wantsText ? "a \"text\"" : "an integer");
            return nullptr;
        }
    }
    return decl;
}

}  // namespace velmora::minihost
