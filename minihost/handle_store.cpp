#include "minihost/handle_store.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace velmora::minihost {

std::uint32_t HandleStore::NewBlock(std::int32_t size) {
    std::uint32_t id;
    if (!freeBlocks_.empty()) {
        id = freeBlocks_.back();
        freeBlocks_.pop_back();
    } else {
        blocks_.emplace_back();
        id = static_cast<std::uint32_t>(blocks_.size());
    }
    Block& b = blocks_[id - 1];
    const auto bytes = static_cast<std::size_t>(std::max(size, 1));
    if (b.storage.size() < bytes) b.storage.resize(bytes);
    // A closing byte the module forgets to write must not happen to be 0.
    b.storage[bytes - 1] = 0xAB;
    b.size = size;
    b.locks = 0;
    b.live = true;
    b.heldByValue = false;
    ++liveHandles_;
    return id;
}

__attribute__((noinline)) void HandleStore::UnknownHandle(const char* op) {
    problems_.Add(std::string(op) + " on an unknown handle");
}

void HandleStore::FreeBlock(std::uint32_t id) {
    Block& b = blocks_[id - 1];
    if (b.locks != 0) {
        problems_.Add("a handle was dropped while locked");
        lockedHandles_ -= b.locks;
    }
    b.live = false;  // its storage stays allocated for the next handle
    --liveHandles_;
    freeBlocks_.push_back(id);
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
        into->text.assign(reinterpret_cast<const char*>(b->storage.data()),
                          static_cast<std::size_t>(b->size) - 1);
    }
    if (b->heldByValue) FreeBlock(id);
}

}  // namespace velmora::minihost
