// Resource identifiers of Orvane.DLL, shared by orvane.rc and the module code.
#pragma once

#define IDR_ORVANE_REGISTRY 101
#define IDS_PROJNAME 100
