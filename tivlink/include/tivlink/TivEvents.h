#pragma once

// The driver's events, written once: the client header, the type library and the engine's
// dispatch ids are generated from this list.

// The events in type-library order.
#define TIVLINK_EVENTS(X)     \
    X(1, OnOverrun)           \
    X(2, OnStdLoaded)         \
    X(5, OnDataWasSent)       \
    X(6, OnMvAvailable)       \
    X(7, OnResponse)          \
    X(8, OnFree)              \
    X(9, OnAdapterDiscon)     \
    X(11, OnTivConnected)     \
    X(4, OnFirmwareLoaded)    \
    X(10, OnAdapterLoggedIn)  \
    X(12, OnDelayedResponse)  \
    X(13, OnAdapterLoggedOut) \
    X(14, OnMarked)           \
    X(3, OnDataReceived)      \
    X(15, OnPointerOverrun)
