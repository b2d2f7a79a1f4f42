// The exports of libtivmate.so: the class factory of DTMMain and its registration.

#include "com/ServerModule.h"
#include "module/DTMMain.h"
#include "module/TivmateTypeLib.h"

namespace {

const com::ClassEntry kClasses[] = {{
    tivmate::CLSID_DTMMain,
    tivmate::kDTMMainProgId,
    "Tivmate DTMMain",
    "Apartment",
    &tivmate::DTMMain::createInstance,
    &tivmate::TivmateTypeLib(),
    "1.0",
}};

}  // namespace

TIV_COM_SERVER_EXPORTS(kClasses)
