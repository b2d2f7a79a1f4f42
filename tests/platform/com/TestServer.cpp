// The test server module: TestCalc as a registered in-process class.

#include "TestCalc.h"
#include "com/ServerModule.h"

namespace {

const com::ClassEntry kClasses[] = {
    {comtest::CLSID_TestCalc, comtest::kProgId, "Test calculator object", "Apartment",
     com::createFunction<comtest::TestCalc>, &comtest::testCalcLibrary(), "1.0"},
    {comtest::CLSID_TestRefusing, comtest::kRefusingProgId, "Refusing test object", "Apartment",
     com::createFunction<comtest::TestRefusing>, nullptr, "1.0"},
};

}  // namespace

TIV_COM_SERVER_EXPORTS(kClasses)

// Lets a test see that its objects live in this module's copy of the runtime.
TIV_COM_EXPORT std::uint32_t TestServerObjectCount() {
    return com::server::objectCount();
}
