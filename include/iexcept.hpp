// iexcept.hpp — the support library's exceptions: throw locations, the IException family with
// its error record, the exception trace function, and the assertion and library-error throws.
#pragma once

#include <cstdint>

#include "kaviexport.h"

class IString;

/// Where an exception was thrown: file name, function name, line number. The names are copied;
/// when the copy cannot be allocated the location is empty and logs say so.
class KAVI_API ISourceLocation {
  public:
    ISourceLocation() = default;  ///< the empty location
    ISourceLocation(const char *fileName, const char *functionName, uint32_t lineNumber);
    ISourceLocation(const ISourceLocation &other);
    ISourceLocation &operator=(const ISourceLocation &other);
    ~ISourceLocation();

    bool isAvailable() const { return record_ != nullptr; }
    const char *fileName() const;      ///< null when absent
    const char *functionName() const;  ///< null when absent
    uint32_t lineNumber() const;

  private:
    struct Record;
    Record *record_ = nullptr;
};

/// Root of the support library's exceptions. It holds one pointer to an error record (severity,
/// error id, up to 5 locations, text lines, error code group); when the record cannot be
/// allocated every query answers nothing or 0 and the group query answers the default group.
/// Building, copying and logging an exception never throw on their own account.
class KAVI_API IException {
  public:
    /// The exception trace function: where logged exception data goes, one line at a time.
    class KAVI_API TraceFn {
      public:
        virtual void write(const char *line) = 0;
        virtual void write(const IString &text);
        /// Writes the data of an exception through this trace function's write.
        virtual void logData(IException &exception);
        /// Called once after the data of an exception has been written; does nothing here.
        virtual void exceptionLogged();
        virtual void flush();

      protected:
        ~TraceFn() = default;  // owned by whoever installs it, never deleted through this class
    };

    static constexpr uint32_t maxLocations = 5;
    static const char *const defaultErrorCodeGroup;  ///< "Kestrel Class Library"

    IException(const char *text, uint32_t errorId = 0, uint32_t severity = 1);
    IException(const IException &other);
    IException &operator=(const IException &other);

    virtual ~IException();
    /// True exactly when the severity is not 0.
    virtual bool isRecoverable() const;
    /// Stores a copy of the location; when 5 are held the fifth is replaced.
    virtual IException &addLocation(const ISourceLocation &location);
    virtual const char *name() const;
    virtual const wchar_t *wideName() const;
    /// Logs the exception data and ends the process.
    [[noreturn]] virtual void terminate();
    /// Hands the exception to the current trace function's logData, which by default writes
    /// the data line by line through its write and then flushes.
    virtual IException &logExceptionData();
    /// Writes every held location, oldest first, through the current trace function.
    virtual IException &traceLocations();

    IException &setErrorCodeGroup(const char *group);  ///< group must outlive the exception
    IException &setErrorId(uint32_t errorId);
    IException &setSeverity(uint32_t severity);
    IException &addText(const char *text);

    const char *errorCodeGroup() const;
    uint32_t errorId() const;
    uint32_t severity() const;
    uint32_t locationCount() const;
    const ISourceLocation *locationAtIndex(uint32_t index) const;  ///< null when out of range
    uint32_t textCount() const;
    const char *text(uint32_t index = 0) const;  ///< null when out of range

    /// The process's current trace function; the default IExceptTraceFn when none was set.
    static TraceFn &traceFunction();
    /// Replaces the current trace function (null goes back to the default); returns the old one.
    static TraceFn *setTraceFunction(TraceFn *traceFn);

  private:
    struct Record;
    void logTo(TraceFn &traceFn);  // the lines of logExceptionData, written through traceFn

    Record *record_;
};

/// The default trace function: each line to standard error.
class KAVI_API IExceptTraceFn : public IException::TraceFn {
  public:
    void write(const char *line) override;
};

#define KAVI_DECLARE_EXCEPTION(Child)                                         \
    class KAVI_API Child : public IException {                                \
      public:                                                                 \
        Child(const char *text, uint32_t errorId = 0, uint32_t severity = 1); \
        const char *name() const override;                                    \
        const wchar_t *wideName() const override;                             \
    }

KAVI_DECLARE_EXCEPTION(IAccessError);          // type code 0
KAVI_DECLARE_EXCEPTION(IDeviceError);          // type code 1
KAVI_DECLARE_EXCEPTION(IInvalidParameter);     // type code 2
KAVI_DECLARE_EXCEPTION(IInvalidRequest);       // type code 3
KAVI_DECLARE_EXCEPTION(IOutOfSystemResource);  // type code 4
KAVI_DECLARE_EXCEPTION(IOutOfWindowResource);  // type code 5
KAVI_DECLARE_EXCEPTION(IOutOfMemory);          // type code 6
KAVI_DECLARE_EXCEPTION(IResourceExhausted);    // type code 7

#undef KAVI_DECLARE_EXCEPTION

/// Throws IInvalidRequest (error id 1, group "Other Error Group") saying that the expression
/// must be true, after logging it.
[[noreturn]] KAVI_API void failStateAssertion(const char *expression,
                                              const ISourceLocation &location);
/// The same with IInvalidParameter, for a parameter check.
[[noreturn]] KAVI_API void failParameterAssertion(const char *expression,
                                                  const ISourceLocation &location);
/// Throws the exception of typeCode (0 to 7, in the order of the classes above) with message
/// messageId's text, after logging it; any other type code returns without effect.
KAVI_API void throwLibraryError(uint32_t messageId, const ISourceLocation &location,
                                uint32_t typeCode, uint32_t severity);
