// The project's own host: it loads the module through its exports and offers every
// service the module calls, the way a presentation host does, with strict accounting
// of what the module takes and gives back, and with faults on request so that every
// failure path of the module can be reached.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "minihost/message_table_parser.h"
#include "minihost/module_file.h"
#include "minihost/script_object.h"
#include "minihost/value.h"

namespace velmora::minihost {

class HostState;

struct Faults {
    std::vector<Guid> refusedServices;  // the callback service refuses these interface IDs
    int allocsBeforeFailure = -1;       // Alloc succeeds this many more times; -1: always
    bool failAllocHandle = false;
    int failLockHandle = 0;           // LockHandle answers no pointer this many more times;
                                      // -1: always
    bool failLockText = false;        // LockText answers an error status
    bool lockTextGivesNull = false;   // LockText answers success but no pointer
    bool failTextLength = false;      // TextLength answers an error and writes nothing
    bool negativeTextLength = false;  // TextLength answers -1: the module counts itself
    bool failQueryInfo = false;       // QueryInfo fails and leaves the buffer alone
    bool oddHandleSize = false;       // HandleSize answers handleSizeAnswer for every handle
    std::int32_t handleSizeAnswer = 0;
    Status addEntryStatus = kOk;
    Status putEntryStatus = kOk;
    Status instanceQueryStatus = ErrNoInterface;  // what an instance's QueryInterface answers
};

// What the module holds of the host's at a given moment. Between calls, with every
// script object gone, all of it must be zero.
struct Accounting {
    int liveBlocks = 0;     // allocator blocks not freed
    int liveHandles = 0;    // memory handles in existence
    int lockedHandles = 0;  // handle locks not undone
    int lockedTexts = 0;    // text locks not undone
    int serviceRefs = 0;    // service references handed out and not released
    int instanceRefs = 0;   // references the module holds on instances
    bool Clean() const {
        return liveBlocks == 0 && liveHandles == 0 && lockedHandles == 0 && lockedTexts == 0 &&
               serviceRefs == 0 && instanceRefs == 0;
    }
};
std::string Describe(const Accounting& accounting);

class Host {
  public:
    explicit Host(const ModuleExports& module);
    ~Host();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    const ModuleExports& module() const { return module_; }
    Faults& faults() { return faults_; }
    // The version text QueryInfo answers ("8.5" unless set). Below 8.5 a text value
    // carries its handle in its second word.
    void SetVersion(const std::string& text);
    const std::string& version() const { return versionText_; }
    // Whether text values carry their handle in their second word (hosts below 8.5).
    bool TextHandlesInValues() const;
    Accounting accounting() const;
    // The size the module last asked the allocator for.
    std::uint32_t LastAllocationSize() const;
    // Misuse seen since the last call: unknown handles, unbalanced unlocks, text
    // handles without their closing 0 (also the moment they are handed over), ...
    std::vector<std::string> TakeProblems();
    // Frees the handles that no value holds and none has locked: what a module had to
    // abandon because no operation frees a handle. Answers how many there were.
    int ReclaimAbandonedHandles();

    Status ListClasses(std::vector<ClassInfoEntry>* entries);
    // Registers the module and reads its message table. Non-zero on failure, with the
    // reason in *error.
    Status Register(std::string* error);
    const MessageTable& table() const { return table_; }
    const std::string& messageTableText() const;

    // A new script object, or null with the module's status in *status.
    std::unique_ptr<ScriptObject> NewObject(Status* status = nullptr);

    // The host's own instance blocks, laid out as the module expects.
    void* NewInstance(std::int32_t size);
    void DeleteInstance(void* instance);

  private:
    ModuleExports module_;
    Faults faults_;
    std::string versionText_ = "8.5";
    MessageTable table_;
    std::unique_ptr<HostState> state_;
};

}  // namespace velmora::minihost
