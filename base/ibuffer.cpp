// ibuffer.cpp — making, sizing, sharing and releasing IString buffers, and the empty buffer.
#include "base/ibuffer.hpp"

#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <new>
#include <utility>

#include "iexcept.hpp"
#include "platform/platform.h"

namespace {

// Header plus room for the NUL of the empty buffer: 16 bytes on a 32-bit build.
constexpr uint32_t kFixedStorage = sizeof(IBuffer) + 4;

}  // namespace

IBuffer *IBuffer::null() {
    static IBuffer *const empty = [] {
        IBuffer *b = IDBCSBuffer::isDoubleByteEnvironment()
                         ? static_cast<IBuffer *>(new (kFixedStorage) IDBCSBuffer(0))
                         : new (kFixedStorage) IBuffer(0);
        b->text()[0] = '\0';
        return b;
    }();
    return empty;
}

uint32_t IBuffer::checkedAdd(uint32_t a, uint32_t b) {
    if (!(a < ~b)) overflow();
    return a + b;
}

void IBuffer::overflow() {
    // The location names this file as exception logs have always shown it.
    throwLibraryError(51, ISourceLocation(".\\base\\ibuffer0", "IBuffer::overflow", 565), 3, 1);
    abort();  // not reached: type code 3 always throws
}

uint32_t IBuffer::storage(uint32_t n) {
    uint32_t capacity = n == 0 ? 0 : checkedAdd(n | 31, 1);
    return checkedAdd(kFixedStorage, capacity);
}

// Buffers come from the platform allocator so that tests can make them fail; a failure goes to
// the allocation-failure handler as a failed operator new would.
void *IBuffer::operator new(size_t, uint32_t storageBytes) {
    for (;;) {
        if (void *p = plat::alloc_zeroed(storageBytes)) return p;
        std::new_handler handler = std::get_new_handler();
        if (handler == nullptr) throw std::bad_alloc();
        handler();
    }
}

void IBuffer::operator delete(void *p) {
    plat::mem_free(p);
}

void IBuffer::release() {
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

IBuffer *IBuffer::make(uint32_t n) const {
    return new (storage(n)) IBuffer(n);
}

IBuffer *IBuffer::fromPieces(const void *p1, uint32_t n1, const void *p2, uint32_t n2,
                             const void *p3, uint32_t n3, char pad) {
    uint32_t total = checkedAdd(checkedAdd(n1, n2), n3);
    if (total == 0) return null()->addRef();
    IBuffer *b = make(total);
    char *out = b->text();
    for (auto [p, n] : {std::pair{p1, n1}, std::pair{p2, n2}, std::pair{p3, n3}}) {
        if (p != nullptr) {
            memcpy(out, p, n);
        } else {
            memset(out, pad, n);
        }
        out += n;
    }
    *out = '\0';
    return b;
}

bool IBuffer::appendInPlace(const char *p, uint32_t n) {
    uint32_t room = ((length_ | 31) + 1) - length_;
    if (useCount() >= 2 || length_ == 0 || n >= room) return false;
    memcpy(text() + length_, p, n);
    length_ += n;
    text()[length_] = '\0';
    return true;
}
