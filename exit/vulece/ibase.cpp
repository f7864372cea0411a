// ibase.cpp — IVBase's printable forms.
#include "ibase.hpp"

#include "exit/vulece/hextext.h"

IVBase::~IVBase() = default;

IString IVBase::asString() const {
    return "IVBase object";
}

IString IVBase::asDebugInfo() const {
    IString text = "IVBase(@";
    text += kavi::hexText(this);
    text += ")";
    return text;
}
