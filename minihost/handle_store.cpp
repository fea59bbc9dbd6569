#include "minihost/handle_store.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace velmora::minihost {

__attribute__((noinline)) void HandleStore::UnknownHandle(const char* op) {
    problems_.Add(std::string(op) + " on an unknown handle");
}

int HandleStore::ReclaimAbandoned() {
    int reclaimed = 0;
    for (std::size_t i = 0; i < blocks_.size(); ++i) {
        const Block& b = blocks_[i];
        if (!b.live || b.heldByValue || b.locks != 0) continue;
        FreeBlock(static_cast<std::uint32_t>(i + 1));
        ++reclaimed;
    }
    return reclaimed;
}

ScriptValue HandleStore::Make(const Value& value) {
    switch (value.kind) {
        case Value::Kind::kInteger:
            return {kIntegerTag, static_cast<std::uint32_t>(value.integer)};
        case Value::Kind::kText: {
            const std::uint32_t id = NewBlock(static_cast<std::int32_t>(value.text.size()) + 1);
            Block& b = blocks_[id - 1];
            std::memcpy(b.storage.data(), value.text.data(), value.text.size());
            b.storage[value.text.size()] = 0;
            b.heldByValue = true;
            return TextValue(id);
        }
        case Value::Kind::kVoid:
            break;
    }
    return {kVoidTag, 0};
}

__attribute__((noinline)) void HandleStore::Drop(const ScriptValue& v) {
    if (v.word0 != kTextTag) return;
    const std::uint32_t id = TextId(v);
    Block* b = Find(id);
    if (b != nullptr && b->heldByValue) FreeBlock(id);
}

// Adding and growing a block and copying a text out are kept out of line: a polling
// host mostly reuses a freed block that is large enough and reads empty answers, and
// the handle operations stay small without them.
__attribute__((noinline)) std::uint32_t HandleStore::AddBlock() {
    blocks_.emplace_back();
    freeBlocks_.resize(blocks_.size());
    return static_cast<std::uint32_t>(blocks_.size());
}

__attribute__((noinline)) void HandleStore::Grow(Block& b, std::size_t bytes) {
    b.storage.resize(bytes);
}

__attribute__((noinline)) void HandleStore::CopyText(const Block& b, Value* into) {
    into->text.assign(reinterpret_cast<const char*>(b.storage.data()),
                      static_cast<std::size_t>(b.size) - 1);
}

__attribute__((noinline)) void HandleStore::TakeOther(const ScriptValue& v, Value* into) {
    into->kind = Value::Kind::kVoid;
    into->integer = 0;
    into->text.clear();
    if (v.word0 != kTextTag) return;
    const std::uint32_t id = TextId(v);
    Block* b = Find(id);
    if (b == nullptr) {
        problems_.Add("a text result without a live handle");
        return;
    }
    into->kind = Value::Kind::kText;
    if (b->size < 1 || b->storage[static_cast<std::size_t>(b->size) - 1] != 0) {
        problems_.Add("a text handle without its closing 0");
    } else if (b->size > 1) {
        CopyText(*b, into);
    }
    if (b->heldByValue) FreeBlock(id);
}

}  // namespace velmora::minihost
