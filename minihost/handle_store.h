// The host's memory handles, and the script values that carry them: a text value names
// the handle that holds its characters.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "host/abi.h"
#include "minihost/problem_log.h"
#include "minihost/value.h"

namespace velmora::minihost {

// Kinds in a ScriptValue's first word.
inline constexpr std::uint32_t kVoidTag = 0;
inline constexpr std::uint32_t kIntegerTag = 1;
inline constexpr std::uint32_t kTextTag = 2;
inline constexpr std::uint32_t kObjectTag = 3;

class HandleStore {
  public:
    struct Block {
        std::vector<unsigned char> storage;  // never empty, so a lock always has a pointer
        std::int32_t size = 0;
        int locks = 0;
        bool live = false;
        bool heldByValue = false;
    };

    explicit HandleStore(ProblemLog& problems) : problems_(problems) {}

    // Hosts below 8.5 carry a text's handle in its value's second word.
    void SetModernText(bool modern) { modernText_ = modern; }
    bool modernText() const { return modernText_; }

    // --- memory handles -------------------------------------------------------------
    // A new live handle of `size` bytes; its id is never 0. In the header, as are the
    // lookups and FreeBlock: a polling host makes and frees a text handle on every call.
    std::uint32_t NewBlock(std::int32_t size) {
        const std::uint32_t id = freeCount_ != 0 ? freeBlocks_[--freeCount_] : AddBlock();
        Block& b = blocks_[id - 1];
        const auto bytes = static_cast<std::size_t>(std::max(size, 1));
        if (b.storage.size() < bytes) Grow(b, bytes);
        // A closing byte the module forgets to write must not happen to be 0.
        b.storage[bytes - 1] = 0xAB;
        b.size = size;
        b.locks = 0;
        b.live = true;
        b.heldByValue = false;
        ++liveHandles_;
        return id;
    }
    Block* Find(std::uintptr_t id) {
        if (id == 0 || id > blocks_.size() || !blocks_[id - 1].live) return nullptr;
        return &blocks_[id - 1];
    }
    // As Find, and an unknown handle is a problem of operation `op`.
    Block* Find(MemHandle handle, const char* op) {
        Block* b = Find(reinterpret_cast<std::uintptr_t>(handle));
        if (b == nullptr) UnknownHandle(op);
        return b;
    }
    void FreeBlock(std::uint32_t id) {
        Block& b = blocks_[id - 1];
        if (b.locks != 0) {
            problems_.Add("a handle was dropped while locked");
            lockedHandles_ -= b.locks;
        }
        b.live = false;  // its storage stays allocated for the next handle
        --liveHandles_;
        freeBlocks_[freeCount_++] = id;
    }
    // Frees the handles that no value holds and none has locked. Answers how many.
    int ReclaimAbandoned();

    // The counts Accounting reports. Text locks are handle locks too.
    int liveHandles() const { return liveHandles_; }
    int lockedHandles() const { return lockedHandles_; }
    int lockedTexts() const { return lockedTexts_; }
    void CountLock(Block& b, bool text) {
        ++b.locks;
        ++lockedHandles_;
        if (text) ++lockedTexts_;
    }
    void CountUnlock(Block& b, bool text) {
        --b.locks;
        --lockedHandles_;
        if (text) --lockedTexts_;
    }

    // --- script values -------------------------------------------------------------
    ScriptValue TextValue(std::uint32_t id) const {
        return {kTextTag, modernText_ ? (id ^ kModernTextMark) : id};
    }
    std::uint32_t TextId(const ScriptValue& v) const {
        return modernText_ ? (v.word1 ^ kModernTextMark) : v.word1;
    }
    Block* TextBlock(const ScriptValue* v) {
        if (v == nullptr || v->word0 != kTextTag) return nullptr;
        return Find(TextId(*v));
    }
    // A value for the module; a text gets a handle of its own that the value holds.
    ScriptValue Make(const Value& value);
    // Releases what a value holds. Kept out of line: the common calls carry integers.
    void Drop(const ScriptValue& v);
    // Reads a value the module handed back into *into, and releases it. *into keeps its
    // text's storage, so a host polling every frame does not allocate for each answer.
    void Take(const ScriptValue& v, Value* into) {
        if (v.word0 == kIntegerTag) {
            into->kind = Value::Kind::kInteger;
            into->integer = static_cast<std::int32_t>(v.word1);
            into->text.clear();
            return;
        }
        TakeOther(v, into);
    }

  private:
    // From 8.5 on a text value's second word is not a handle; a module that reads it as
    // one finds no such handle.
    static constexpr std::uint32_t kModernTextMark = 0x5A000000;

    void UnknownHandle(const char* op);
    void TakeOther(const ScriptValue& v, Value* into);
    std::uint32_t AddBlock();
    static void Grow(Block& b, std::size_t bytes);
    static void CopyText(const Block& b, Value* into);

    ProblemLog& problems_;
    std::vector<Block> blocks_;
    // The ids of the freed blocks, the last freed on top, used again first. As long as
    // blocks_, so that freeing never has to make room.
    std::vector<std::uint32_t> freeBlocks_;
    std::size_t freeCount_ = 0;
    int liveHandles_ = 0, lockedHandles_ = 0, lockedTexts_ = 0;
    bool modernText_ = true;
};

}  // namespace velmora::minihost
