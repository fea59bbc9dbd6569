// The module file's own allocation functions. Built without exceptions, the module
// allocates only with the nothrow forms of new, which answer null when memory runs out.
// The C++ runtime's versions of those reach malloc through its throwing operator new and
// a catch, which would bring the runtime's exception support into the host's process;
// these go to malloc directly. Linked into the module file alone: the test programs,
// which link the module's objects, keep their own (some fail allocations on purpose).
#include <cstdlib>
#include <new>

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return std::malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return std::malloc(size == 0 ? 1 : size);
}
void operator delete(void* memory) noexcept {
    std::free(memory);
}
void operator delete[](void* memory) noexcept {
    std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
    std::free(memory);
}
void operator delete[](void* memory, std::size_t) noexcept {
    std::free(memory);
}
void operator delete(void* memory, const std::nothrow_t&) noexcept {
    std::free(memory);
}
void operator delete[](void* memory, const std::nothrow_t&) noexcept {
    std::free(memory);
}
