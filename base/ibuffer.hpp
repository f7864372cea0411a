// ibuffer.hpp — the shared, reference-counted text buffers behind IString: IBuffer and the
// double-byte IDBCSBuffer, whose searches step over whole characters.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "istring.hpp"

// Layout, binding because IString crosses the exported interface: virtual table, reference
// count, length, then the text and its NUL. An IString points at the text.
class IBuffer {
  public:
    // The process-wide empty buffer, made once; its class decides the class of every buffer.
    static IBuffer *null();
    static IBuffer *fromText(char *text) { return reinterpret_cast<IBuffer *>(text) - 1; }

    // Allocation bytes for a buffer of length n; throws on a size of 4 GiB or more.
    static uint32_t storage(uint32_t n);
    // a + b, or the IInvalidRequest 51 throw when the sum would reach 0xFFFFFFFF.
    static uint32_t checkedAdd(uint32_t a, uint32_t b);
    [[noreturn]] static void overflow();

    char *text() { return reinterpret_cast<char *>(this + 1); }
    const char *text() const { return reinterpret_cast<const char *>(this + 1); }
    uint32_t length() const { return length_; }
    int32_t useCount() const { return refs_.load(std::memory_order_acquire); }

    IBuffer *addRef() {
        refs_.fetch_add(1, std::memory_order_relaxed);
        return this;
    }
    void release();

    // A buffer of the pieces' bytes (a null pointer: that many pad characters), made by this
    // buffer's class; the empty buffer, with one more reference, when the total is 0.
    IBuffer *fromPieces(const void *p1, uint32_t n1, const void *p2, uint32_t n2,
                        const void *p3 = nullptr, uint32_t n3 = 0, char pad = ' ');
    // Appends in place when this is the only owner, the text is not empty and the bytes fit
    // with their NUL into the spare room; false leaves everything unchanged.
    bool appendInPlace(const char *p, uint32_t n);
    // The buffer without its trailing characters that pass test: this one (one more reference)
    // when nothing goes.
    IBuffer *stripTrailing(const IStringTest &test);

    void *operator new(size_t, uint32_t storageBytes);
    void operator delete(void *p);
    void operator delete(void *p, uint32_t) { operator delete(p); }

  protected:
    IBuffer(uint32_t length) : length_(length) {}
    virtual ~IBuffer() = default;

    // A new, uninitialised buffer of length n of this buffer's class.
    virtual IBuffer *make(uint32_t n) const;
    // 1-based position of the end of the last character that fails test; 0 when none does.
    virtual uint32_t lastFailing(const IStringTest &test) const;

  private:
    std::atomic<int32_t> refs_{1};
    uint32_t length_;
};

class IDBCSBuffer : public IBuffer {
  public:
    IDBCSBuffer(uint32_t length) : IBuffer(length) {}

    // The double-byte decision, made once: whether this process works with IDBCSBuffers.
    static bool isDoubleByteEnvironment();

  protected:
    IBuffer *make(uint32_t n) const override;
    uint32_t lastFailing(const IStringTest &test) const override;
};

static_assert(sizeof(IDBCSBuffer) == sizeof(IBuffer), "the text follows the same header");
static_assert(sizeof(IBuffer) == 2 * sizeof(void *) || sizeof(IBuffer) == 12,
              "virtual table, count and length, nothing else");
