// vulece.cpp — VuleCommandExit: an exit registered by its constructor and ended by its
// destructor, with the wait in between.
#include "vulece.hpp"

#include <cstdio>

#include "exit/trace.h"
#include "exit/vulece/hextext.h"
#include "exit/vulece/objtrace.h"
#include "iexcept.hpp"
#include "kaviexit.h"

namespace {

constexpr char CONSTRUCTOR[] = "VuleCommandExit::VuleCommandExit";
constexpr char DESTRUCTOR[] = "VuleCommandExit::~VuleCommandExit";
constexpr char RUN[] = "VuleCommandExit::run";

}  // namespace

VuleCommandExit::VuleCommandExit(IString name, VULE_EXIT_FUNCTION exitFunction, int wait)
    : name_(name), code_(exitFunction) {
    kavi::traceObject(VULZ_KIND_ENTRY, CONSTRUCTOR, 147, *this, &wait);
    registered(KaviInitialize(name_, code_), wait);
}

VuleCommandExit::VuleCommandExit(IString name, VULE_EXIT_FUNCTION exitFunction, int wait,
                                 uint32_t runMode)
    : name_(name), code_(exitFunction) {
    kavi::traceObject(VULZ_KIND_ENTRY, CONSTRUCTOR, 147, *this, &wait);
    registered(KaviInit(name_, code_, runMode), wait);
}

void VuleCommandExit::registered(int rc, int wait) {
    if (rc != VULE_OK) {
        kavi::logObject(CONSTRUCTOR, static_cast<uint32_t>(rc), 163, *this);
        try {
            failStateAssertion("rc == VULE_OK", ISourceLocation(".\\vulece", CONSTRUCTOR, 167));
        } catch (IInvalidRequest &e) {
            // After the check that failed, what failed: the catcher finds the code in the text.
            char text[160];
            std::snprintf(text, sizeof text, "exit %.40s could not be registered: code %d (%s)",
                          static_cast<const char *>(name_), rc,
                          kavi::registration_failure(static_cast<uint32_t>(rc)));
            e.addText(text);
            throw;
        }
    }
    if (wait != 0) run();
    kavi::traceObject(VULZ_KIND_EXIT, CONSTRUCTOR, 179, *this, &rc);
}

VuleCommandExit::~VuleCommandExit() {
    kavi::traceObject(VULZ_KIND_ENTRY, DESTRUCTOR, 215, *this);
    uint32_t rc = KaviTerminate(name_);
    if (rc != VULE_OK) kavi::logObject(DESTRUCTOR, rc, 227, *this);
    KAVI_TRACE(VULZ_KIND_EXIT, DESTRUCTOR, 239, 1, &rc, 4u);
}

void VuleCommandExit::run() {
    kavi::traceObject(VULZ_KIND_ENTRY, RUN, 276, *this);
    // The wait ends only one way that matters here: the exit program is to stop.
    KaviWait("SEM32.INTERAPP.KAVIEXIT", -1);
    kavi::traceObject(VULZ_KIND_EXIT, RUN, 310, *this);
}

IString VuleCommandExit::asString() const {
    // Made once and kept for the life of the process, like the parameter object's name.
    static const IString *const name = new IString("VuleCommandExit");
    return *name;
}

IString VuleCommandExit::asDebugInfo() const {
    IString text = asString();
    text += "[this=&0x";
    text += kavi::hexText(this);
    text += ", name=";
    text += name_;
    text += ", code=&0x";
    text += kavi::hexText(reinterpret_cast<const void *>(code_));
    text += "]";
    return text;
}
