// `velmora info`: what the module offers, as a host sees it.
#include <cstdio>
#include <ostream>

#include "console/commands.h"
#include "console/session.h"
#include "host/interface_ids.h"

namespace velmora::console {

namespace {

std::string GuidText(const Guid& g) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.data1,
                  g.data2, g.data3, g.data4[0], g.data4[1], g.data4[2], g.data4[3], g.data4[4],
                  g.data4[5], g.data4[6], g.data4[7]);
    return text;
}

const char* InterfaceName(const Guid& iid) {
    if (SameGuid(iid, kIidClassFactory)) return "class";
    if (SameGuid(iid, kIidRegistration)) return "IRegistration";
    if (SameGuid(iid, kIidScripting)) return "IScripting";
    return "interface";
}

const char* Target() {
#if defined(_WIN64)
    return "win64 (x86_64 Windows DLL)";
#elif defined(_WIN32)
    return "win32 (i686 Windows DLL)";
#else
    return "native (Linux shared library over termios)";
#endif
}

}  // namespace

int ShowInfo(const std::string& modulePath, std::ostream& out, std::ostream& err) {
    std::unique_ptr<Session> session = Session::Open(modulePath, err);
    if (!session) return kExitNoModule;
    out << "module:  " << session->file().path() << "\n"
        << "version: " << ModuleVersion(session->host().messageTableText()) << "\n"
        << "target:  " << Target() << "\n"
        << "extension: " << session->host().table().extension << ", "
        << session->host().table().methods.size() << " methods\n\nclasses:\n";
    std::vector<ClassInfoEntry> entries;
    session->host().ListClasses(&entries);
    for (const ClassInfoEntry& e : entries) {
        char versions[48];
        std::snprintf(versions, sizeof versions, "0x%08X / 0x%08X", e.classVersion,
                      e.interfaceVersion);
        out << "  " << GuidText(e.classId) << "  " << InterfaceName(e.interfaceId) << " "
            << GuidText(e.interfaceId) << "  " << versions << "\n";
    }
    out << "\nmessage table as registered:\n" << session->host().messageTableText();
    return kExitOk;
}

}  // namespace velmora::console
