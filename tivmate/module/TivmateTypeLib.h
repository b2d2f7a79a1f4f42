#pragma once

#include "com/TypeInfo.h"

namespace tivmate {

// The type library of the DTM, built from the member table: _DTMMain with a dispatch thunk per
// member, the FDT interfaces DTMMain implements, the coclass and the library. Static data.
const com::InterfaceDesc& DTMMainDesc();
const com::TypeLibDesc& TivmateTypeLib();

}  // namespace tivmate
