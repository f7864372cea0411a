// iexclog.cpp — writing an exception's data: through a trace function line by line, or printed
// directly when no line buffer can be had.
#include <cstdio>
#include <cstring>

#include "iexcept.hpp"
#include "platform/platform.h"

namespace {

constexpr char kLocationLine[] = "%s exception thrown.\n  function: %s\n  file: %s\n  line: %u";
constexpr char kNoLocationLine[] =
    "\n%s exception thrown.\n   Location information is unavailable.";

const char *orEmpty(const char *text) {
    return text != nullptr ? text : "";
}

size_t atLeast(size_t size, size_t need) {
    return need > size ? need : size;
}

}  // namespace

// The newest location is the one that names where the exception was last thrown.
void IException::logTo(TraceFn &traceFn) {
    const char *className = name();
    uint32_t count = locationCount();
    const ISourceLocation *where = count == 0 ? nullptr : locationAtIndex(count - 1);
    if (where != nullptr && !where->isAvailable()) where = nullptr;
    const char *group = errorCodeGroup();

    size_t size = atLeast(200, strlen(className) + sizeof kNoLocationLine);
    if (where != nullptr) {
        size = atLeast(size, strlen(orEmpty(where->fileName())) +
                                 strlen(orEmpty(where->functionName())) + strlen(className) +
                                 sizeof kLocationLine + 9);
    }
    if (group != nullptr) size = atLeast(size, strlen(group) + 32);
    for (uint32_t i = 0; i < textCount(); ++i) size = atLeast(size, strlen(text(i)) + 6);
    size += 1;

    char *line = static_cast<char *>(plat::alloc_zeroed(size));
    if (line == nullptr) {
        if (where != nullptr) {
            fprintf(stderr, "%s exception thrown.\n   function: %s\n   file: %s\n   line: %u.\n",
                    className, orEmpty(where->functionName()), orEmpty(where->fileName()),
                    where->lineNumber());
        } else {
            fprintf(stderr, "\n%s exception thrown.\n   Location information is unavailable.\n",
                    className);
        }
        if (errorId() != 0) {
            fprintf(stderr, "   Error ID is %u\n", errorId());
        } else {
            fprintf(stderr, "   Error ID is unavailable.\n");
        }
        if (group != nullptr) {
            fprintf(stderr, "   Error Code group is %s\n", group);
        } else {
            fprintf(stderr, "   Error Code group is unavailable.\n");
        }
        if (textCount() != 0) {
            fprintf(stderr, "   Exception text is:\n");
            for (uint32_t i = textCount(); i > 0; --i) fprintf(stderr, "      %s\n", text(i - 1));
        } else {
            fprintf(stderr, "   Exception text is unavailable.\n");
        }
        fflush(stderr);
        return;
    }

    if (where != nullptr) {
        snprintf(line, size, kLocationLine, className, orEmpty(where->functionName()),
                 orEmpty(where->fileName()), where->lineNumber());
    } else {
        snprintf(line, size, kNoLocationLine, className);
    }
    traceFn.write(line);
    if (errorId() != 0) {
        snprintf(line, size, "   Error Id is %u", errorId());
    } else {
        snprintf(line, size, "   Error Id is unavailable.");
    }
    traceFn.write(line);
    if (group != nullptr) {
        snprintf(line, size, "   Error Code group is %s", group);
    } else {
        snprintf(line, size, "   Error Code group is unavailable.");
    }
    traceFn.write(line);
    if (textCount() != 0) {
        traceFn.write("   Exception text is:");
        for (uint32_t i = textCount(); i > 0; --i) {
            snprintf(line, size, "      %s", text(i - 1));
            traceFn.write(line);
        }
    } else {
        traceFn.write("   Exception text is unavailable.");
    }
    plat::mem_free(line);
    traceFn.exceptionLogged();
    traceFn.flush();
}

IException &IException::traceLocations() {
    TraceFn &traceFn = traceFunction();
    char line[512];
    for (uint32_t i = 0; i < locationCount(); ++i) {
        const ISourceLocation *where = locationAtIndex(i);
        if (where->isAvailable()) {
            snprintf(line, sizeof line, "   Location %u: function %s, file %s, line %u", i + 1,
                     orEmpty(where->functionName()), orEmpty(where->fileName()),
                     where->lineNumber());
        } else {
            snprintf(line, sizeof line, "   Location %u is unavailable.", i + 1);
        }
        traceFn.write(line);
    }
    return *this;
}
