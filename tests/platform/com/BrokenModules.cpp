// Modules that are not servers: one loads but exports nothing of the contract, the other needs a
// symbol nobody defines and so does not load at all.

#if defined(TIV_BROKEN_UNRESOLVED)
extern "C" int tivComTestSymbolNobodyDefines();
extern "C" __attribute__((visibility("default"))) int tivComTestUseIt() {
    return tivComTestSymbolNobodyDefines();
}
#else
extern "C" __attribute__((visibility("default"))) int tivComTestNotAServer() {
    return 42;
}
#endif
