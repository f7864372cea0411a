// ibase.hpp — IBase and IVBase, the roots of the exported classes: IVBase gives every object a
// printable name and a one-line debug form.
#pragma once

#include "istring.hpp"
#include "kaviexport.h"

/// The root of the class hierarchy; it holds nothing.
class KAVI_API IBase {};

/// The root of the classes with virtual operations. Their slot order is part of the exported
/// interface: destructor, asString, asDebugInfo.
class KAVI_API IVBase : public IBase {
  public:
    virtual ~IVBase();
    /// "IVBase object".
    virtual IString asString() const;
    /// "IVBase(@", the object's address in hexadecimal, ")".
    virtual IString asDebugInfo() const;
};
