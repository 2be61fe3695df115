// The twelve functions both interface generations share, by their names
// after "PassThru", for tables of function pointers resolved by name.
#ifndef PT_TESTS_SUPPORT_J2534_FUNCTIONS_H
#define PT_TESTS_SUPPORT_J2534_FUNCTIONS_H

#define PT_J2534_FUNCTIONS(X)                                                                                  \
    X(Connect) X(Disconnect) X(ReadMsgs) X(WriteMsgs) X(StartPeriodicMsg) X(StopPeriodicMsg) X(StartMsgFilter) \
        X(StopMsgFilter) X(SetProgrammingVoltage) X(ReadVersion) X(GetLastError) X(Ioctl)
#define PT_J2534_MEMBER(name) decltype(&PassThru##name) name = nullptr;
// Resolves api.name in library; null when the library does not export it.
#define PT_J2534_RESOLVE(name) api.name = reinterpret_cast<decltype(api.name)>(plat::FindSymbol(library, "PassThru" #name));

#endif
