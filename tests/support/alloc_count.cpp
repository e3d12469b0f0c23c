#include "tests/support/alloc_count.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <new>

// glibc's own entry points, which the replacements below forward to.
extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* pointer, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void* pointer);
}

namespace {
std::atomic<std::uint64_t> allocations{0};
std::atomic<std::uint64_t> frees{0};

void Count() {
    allocations.fetch_add(1, std::memory_order_relaxed);
}

void Release(void* pointer) {
    if (pointer != nullptr) frees.fetch_add(1, std::memory_order_relaxed);
    __libc_free(pointer);
}
}  // namespace

namespace zelvorn::heap {
std::uint64_t Allocations() {
    return allocations.load(std::memory_order_relaxed);
}
std::uint64_t Frees() {
    return frees.load(std::memory_order_relaxed);
}
}  // namespace zelvorn::heap

// Replacing malloc in the program catches every allocation of every library
// it loads, the C++ runtime's operator new included.
extern "C" void* malloc(std::size_t size) {
    Count();
    return __libc_malloc(size);
}

extern "C" void* calloc(std::size_t count, std::size_t size) {
    Count();
    return __libc_calloc(count, size);
}

extern "C" void* realloc(void* pointer, std::size_t size) {
    Count();
    return __libc_realloc(pointer, size);
}

extern "C" int posix_memalign(void** pointer, std::size_t alignment, std::size_t size) {
    Count();
    void* p = __libc_memalign(alignment, size);
    if (p == nullptr) return ENOMEM;
    *pointer = p;
    return 0;
}

extern "C" void* aligned_alloc(std::size_t alignment, std::size_t size) {
    Count();
    return __libc_memalign(alignment, size);
}

extern "C" void* memalign(std::size_t alignment, std::size_t size) {
    Count();
    return __libc_memalign(alignment, size);
}

extern "C" void free(void* pointer) {
    Release(pointer);
}

// operator new is replaced as well, so that a runtime whose operator new does
// not go through malloc is still counted; it forwards to the counted malloc
// without counting twice.
namespace {
void* NewBytes(std::size_t size) {
    void* p = __libc_malloc(size == 0 ? 1 : size);
    if (p == nullptr) throw std::bad_alloc();
    Count();
    return p;
}

void* NewAligned(std::size_t size, std::align_val_t alignment) {
    void* p = __libc_memalign(static_cast<std::size_t>(alignment), size == 0 ? 1 : size);
    if (p == nullptr) throw std::bad_alloc();
    Count();
    return p;
}
}  // namespace

void* operator new(std::size_t size) {
    return NewBytes(size);
}
void* operator new[](std::size_t size) {
    return NewBytes(size);
}
void* operator new(std::size_t size, std::align_val_t a) {
    return NewAligned(size, a);
}
void* operator new[](std::size_t size, std::align_val_t a) {
    return NewAligned(size, a);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    void* p = __libc_malloc(size == 0 ? 1 : size);
    if (p != nullptr) Count();
    return p;
}
void* operator new[](std::size_t size, const std::nothrow_t& t) noexcept {
    return operator new(size, t);
}
void operator delete(void* p) noexcept {
    Release(p);
}
void operator delete[](void* p) noexcept {
    Release(p);
}
void operator delete(void* p, std::size_t) noexcept {
    Release(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    Release(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
    Release(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
    Release(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
    Release(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
    Release(p);
}
