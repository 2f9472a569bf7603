// The interface declarations that widl generates from orvane.idl, for the module's own code.
//
// The generated header declares the four identifiers with C linkage, while the component
// defines them (identifiers.cpp) with C++ linkage; both declarations cannot meet in one
// translation unit. The generated names are therefore renamed to unused aliases while the
// header is read, and the module uses the component's definitions only.
#pragma once

#include <windows.h>

#define LIBID_ORVANELib orvane_widl_LIBID_ORVANELib
#define CLSID_CoOrvane orvane_widl_CLSID_CoOrvane
#define IID_IOrvane orvane_widl_IID_IOrvane
#define DIID__IOrvaneEvents orvane_widl_DIID__IOrvaneEvents
#include "orvane_h.h"
#undef LIBID_ORVANELib
#undef CLSID_CoOrvane
#undef IID_IOrvane
#undef DIID__IOrvaneEvents

#include "component/co_orvane.hpp"
