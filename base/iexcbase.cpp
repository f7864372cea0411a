// iexcbase.cpp — throw locations, IException and its error record, the exception classes, the
// trace functions, the allocation-failure handler and the assertion and library-error throws.
#include "base/iexcbase.hpp"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "base/imsgtext.hpp"
#include "base/itrace.hpp"
#include "istring.hpp"
#include "platform/platform.h"

namespace {

// Every part of an exception is allocated where a failure leaves it absent instead of throwing:
// exceptions are built on the way out of a failed allocation too.
char *copyText(const char *text) {
    if (text == nullptr) return nullptr;
    size_t n = strlen(text) + 1;
    char *copy = static_cast<char *>(plat::alloc_zeroed(n));
    if (copy != nullptr) memcpy(copy, text, n);
    return copy;
}

template <class T>
T *construct() {
    void *p = plat::alloc_zeroed(sizeof(T));
    return p == nullptr ? nullptr : new (p) T;
}

template <class T>
void destroy(T *p) {
    if (p == nullptr) return;
    p->~T();
    plat::mem_free(p);
}

std::atomic<IException::TraceFn *> currentTraceFn{nullptr};

}  // namespace

// ---------------------------------------------------------------------------------------------
// ISourceLocation

struct ISourceLocation::Record {
    char *fileName = nullptr;
    char *functionName = nullptr;
    uint32_t lineNumber = 0;
    ~Record() {
        plat::mem_free(functionName);
        plat::mem_free(fileName);
    }
};

ISourceLocation::ISourceLocation(const char *fileName, const char *functionName,
                                 uint32_t lineNumber)
    : record_(construct<Record>()) {
    if (record_ == nullptr) return;
    record_->fileName = copyText(fileName);
    record_->functionName = copyText(functionName);
    record_->lineNumber = lineNumber;
}

ISourceLocation::ISourceLocation(const ISourceLocation &other) {
    *this = other;
}

ISourceLocation &ISourceLocation::operator=(const ISourceLocation &other) {
    if (this == &other) return *this;
    Record *copy = nullptr;
    if (other.record_ != nullptr && (copy = construct<Record>()) != nullptr) {
        copy->fileName = copyText(other.fileName());
        copy->functionName = copyText(other.functionName());
        copy->lineNumber = other.lineNumber();
    }
    destroy(record_);
    record_ = copy;
    return *this;
}

ISourceLocation::~ISourceLocation() {
    destroy(record_);
}

const char *ISourceLocation::fileName() const {
    return record_ ? record_->fileName : nullptr;
}
const char *ISourceLocation::functionName() const {
    return record_ ? record_->functionName : nullptr;
}
uint32_t ISourceLocation::lineNumber() const {
    return record_ ? record_->lineNumber : 0;
}

// ---------------------------------------------------------------------------------------------
// IException

const char *const IException::defaultErrorCodeGroup = "Kestrel Class Library";

struct IException::Record {
    uint32_t severity = 0;
    uint32_t errorId = 0;
    ISourceLocation locations[maxLocations];
    uint32_t locationCount = 0;
    uint32_t textCount = 0;
    char **texts = nullptr;
    const char *errorCodeGroup = defaultErrorCodeGroup;
    ~Record() {
        for (uint32_t i = textCount; i > 0; --i) plat::mem_free(texts[i - 1]);
        plat::mem_free(texts);
    }
};

IException::IException(const char *text, uint32_t errorId, uint32_t severity)
    : record_(construct<Record>()) {
    if (record_ == nullptr) return;
    record_->errorId = errorId;
    record_->severity = severity;
    addText(text);
}

IException::IException(const IException &other) : record_(nullptr) {
    *this = other;
}

IException &IException::operator=(const IException &other) {
    if (this == &other) return *this;
    destroy(record_);
    record_ = other.record_ == nullptr ? nullptr : construct<Record>();
    if (record_ == nullptr) return *this;
    record_->severity = other.record_->severity;
    record_->errorId = other.record_->errorId;
    record_->errorCodeGroup = other.record_->errorCodeGroup;
    for (uint32_t i = 0; i < other.record_->locationCount; ++i) {
        addLocation(other.record_->locations[i]);
    }
    for (uint32_t i = 0; i < other.record_->textCount; ++i) addText(other.record_->texts[i]);
    return *this;
}

IException::~IException() {
    destroy(record_);
}

bool IException::isRecoverable() const {
    return severity() != 0;
}

IException &IException::addLocation(const ISourceLocation &location) {
    if (record_ == nullptr) return *this;
    uint32_t index = record_->locationCount;
    if (index == maxLocations) {
        index = maxLocations - 1;
    } else {
        ++record_->locationCount;
    }
    record_->locations[index] = location;
    return *this;
}

const char *IException::name() const {
    return "IException";
}
const wchar_t *IException::wideName() const {
    return L"IException";
}

void IException::terminate() {
    logExceptionData();
    abort();
}

IException &IException::logExceptionData() {
    traceFunction().logData(*this);
    return *this;
}

IException &IException::setErrorCodeGroup(const char *group) {
    if (record_ != nullptr) record_->errorCodeGroup = group;
    return *this;
}

IException &IException::setErrorId(uint32_t errorId) {
    if (record_ != nullptr) record_->errorId = errorId;
    return *this;
}

IException &IException::setSeverity(uint32_t severity) {
    if (record_ != nullptr) record_->severity = severity;
    return *this;
}

IException &IException::addText(const char *text) {
    if (record_ == nullptr || text == nullptr) return *this;
    char *copy = copyText(text);
    uint32_t n = record_->textCount;
    char **texts = static_cast<char **>(plat::alloc_zeroed((n + 1) * sizeof(char *)));
    if (copy == nullptr || texts == nullptr) {
        plat::mem_free(texts);
        plat::mem_free(copy);
        return *this;
    }
    if (n != 0) memcpy(texts, record_->texts, n * sizeof(char *));
    texts[n] = copy;
    plat::mem_free(record_->texts);
    record_->texts = texts;
    record_->textCount = n + 1;
    return *this;
}

const char *IException::errorCodeGroup() const {
    return record_ ? record_->errorCodeGroup : defaultErrorCodeGroup;
}
uint32_t IException::errorId() const {
    return record_ ? record_->errorId : 0;
}
uint32_t IException::severity() const {
    return record_ ? record_->severity : 0;
}
uint32_t IException::locationCount() const {
    return record_ ? record_->locationCount : 0;
}
uint32_t IException::textCount() const {
    return record_ ? record_->textCount : 0;
}

const ISourceLocation *IException::locationAtIndex(uint32_t index) const {
    return index < locationCount() ? &record_->locations[index] : nullptr;
}

const char *IException::text(uint32_t index) const {
    return index < textCount() ? record_->texts[index] : nullptr;
}

#define KAVI_DEFINE_EXCEPTION(Child)                                    \
    Child::Child(const char *text, uint32_t errorId, uint32_t severity) \
        : IException(text, errorId, severity) {}                        \
    const char *Child::name() const {                                   \
        return #Child;                                                  \
    }                                                                   \
    const wchar_t *Child::wideName() const {                            \
        return L"" #Child;                                              \
    }

KAVI_DEFINE_EXCEPTION(IAccessError)
KAVI_DEFINE_EXCEPTION(IDeviceError)
KAVI_DEFINE_EXCEPTION(IInvalidParameter)
KAVI_DEFINE_EXCEPTION(IInvalidRequest)
KAVI_DEFINE_EXCEPTION(IOutOfSystemResource)
KAVI_DEFINE_EXCEPTION(IOutOfWindowResource)
KAVI_DEFINE_EXCEPTION(IOutOfMemory)
KAVI_DEFINE_EXCEPTION(IResourceExhausted)

// ---------------------------------------------------------------------------------------------
// Trace functions

void IException::TraceFn::write(const IString &text) {
    write(static_cast<const char *>(text));
}
void IException::TraceFn::logData(IException &exception) {
    exception.logTo(*this);
}
void IException::TraceFn::exceptionLogged() {}
void IException::TraceFn::flush() {}

void IExceptTraceFn::write(const char *line) {
    fprintf(stderr, "%s\n", line);
}

IException::TraceFn &IException::traceFunction() {
    static IExceptTraceFn fallback;
    TraceFn *current = currentTraceFn.load(std::memory_order_acquire);
    return current != nullptr ? *current : fallback;
}

IException::TraceFn *IException::setTraceFunction(TraceFn *traceFn) {
    return currentTraceFn.exchange(traceFn, std::memory_order_acq_rel);
}

IOutOfMemoryHandler::IOutOfMemoryHandler()
    : previousHandler_(std::set_new_handler(&IOutOfMemoryHandler::newHandler)),
      previousTraceFn_(IException::setTraceFunction(this)) {}

IOutOfMemoryHandler::~IOutOfMemoryHandler() {
    TraceFn *self = this;
    currentTraceFn.compare_exchange_strong(self, previousTraceFn_);
    std::set_new_handler(previousHandler_);
}

void IOutOfMemoryHandler::write(const char *line) {
    kavibase::traceLine(">", line);
}

// Building and logging the exception may itself run out of memory; a failure inside the
// handler gives std::bad_alloc instead of entering the handler again.
void IOutOfMemoryHandler::newHandler() {
    static thread_local bool active = false;
    if (active) throw std::bad_alloc();
    struct Guard {
        Guard() { active = true; }
        ~Guard() { active = false; }
    } guard;
    throwLibraryError(
        4, ISourceLocation(".\\base\\iexcbase", "IOutOfMemoryHandler::newHandler", 129), 6, 0);
    abort();  // not reached: type code 6 always throws
}

namespace {
IOutOfMemoryHandler outOfMemoryHandler;
}  // namespace

// ---------------------------------------------------------------------------------------------
// Throws

namespace {

template <class E>
[[noreturn]] void raise(const char *text, uint32_t errorId, uint32_t severity, const char *group,
                        const ISourceLocation &location) {
    E exception(text, errorId, severity);
    if (group != nullptr) exception.setErrorCodeGroup(group);
    exception.addLocation(location);
    exception.logExceptionData();
    throw exception;
}

void assertionText(const char *expression, char *text) {
    kavibase::messageText(1, text, &expression, 1);
}

}  // namespace

void failStateAssertion(const char *expression, const ISourceLocation &location) {
    char text[kavibase::MESSAGE_TEXT_MAX + 1];
    assertionText(expression, text);
    raise<IInvalidRequest>(text, 1, 1, "Other Error Group", location);
}

void failParameterAssertion(const char *expression, const ISourceLocation &location) {
    char text[kavibase::MESSAGE_TEXT_MAX + 1];
    assertionText(expression, text);
    raise<IInvalidParameter>(text, 1, 1, "Other Error Group", location);
}

void throwLibraryError(uint32_t messageId, const ISourceLocation &location, uint32_t typeCode,
                       uint32_t severity) {
    char text[kavibase::MESSAGE_TEXT_MAX + 1];
    if (typeCode > 7) return;
    kavibase::messageText(messageId, text);
    switch (typeCode) {
        case 0:
            raise<IAccessError>(text, messageId, severity, nullptr, location);
        case 1:
            raise<IDeviceError>(text, messageId, severity, nullptr, location);
        case 2:
            raise<IInvalidParameter>(text, messageId, severity, nullptr, location);
        case 3:
            raise<IInvalidRequest>(text, messageId, severity, nullptr, location);
        case 4:
            raise<IOutOfSystemResource>(text, messageId, severity, nullptr, location);
        case 5:
            raise<IOutOfWindowResource>(text, messageId, severity, nullptr, location);
        case 6:
            raise<IOutOfMemory>(text, messageId, severity, nullptr, location);
        default:
            raise<IResourceExhausted>(text, messageId, severity, nullptr, location);
    }
}
