#pragma once

#include "com/TypeInfo.h"

namespace tivlink {

// The type library of the driver, built from the member table: ITivDriver with a dispatch thunk
// per member (each calls the member through the virtual table of a TTivDriver), the event
// interface, the coclass and the library itself. Static data; never null.
const com::InterfaceDesc& ITivDriverDesc();
const com::InterfaceDesc& ITivDriverEventsDesc();
const com::CoClassDesc& TivDriverCoClassDesc();
const com::TypeLibDesc& TivlinkTypeLib();

}  // namespace tivlink
