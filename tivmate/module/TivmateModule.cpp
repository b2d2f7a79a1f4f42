// The exports of libtivmate.so: the class factories of DTMMain and the pages, and their
// registration.

#include "com/ServerModule.h"
#include "module/DTMMain.h"
#include "module/TivmateTypeLib.h"
#include "ui/ControlClasses.h"

namespace {

const com::ClassEntry kClasses[] = {
    {
        tivmate::CLSID_DTMMain,
        tivmate::kDTMMainProgId,
        "Tivmate DTMMain",
        "Apartment",
        &tivmate::DTMMain::createInstance,
        &tivmate::TivmateTypeLib(),
        "1.0",
    },
    TIVMATE_UI_CLASS_ENTRIES,
};

}  // namespace

TIV_COM_SERVER_EXPORTS(kClasses)
