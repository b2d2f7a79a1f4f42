#pragma once

// What the DTM core calls on its user controls, free of any UI toolkit: the controls implement
// these over their widgets. A control registers itself with the DTM and the DTM never owns it
// (nor does a control slot keep the DTM alive).

#include "fdt/DualInterface.h"

class QWidget;

// clang-format off

// Every control: reload its texts after a language change.
#define FDT_MEMBERS_IActiveXGUI(X, P) \
    X(IActiveXGUI, 1, method, UpdateLanguage, ())

#define FDT_MEMBERS_IOfflineParamView(X, P) \
    X(IOfflineParamView, 1, method, SetParameterStatus, (P(in, long, CommStatus), P(in, BSTR, StatusText)))

// Colours are COLORREF values (0x00BBGGRR). CommStackVal and ProgBarVal show the queue's length.
#define FDT_MEMBERS_IDiagnosisView(X, P) \
    X(IDiagnosisView, 1, method, SetDiagnosisStatus, (P(in, long, CommStatus), P(in, BSTR, StatusText), P(in, BSTR, USBSWInfo), P(in, long, ConnectionColor), P(in, long, USBAdapterPresentColor), P(in, long, USBAdapterFirmwareLoadedColor), P(in, long, TIVBusActiveColor))) \
    X(IDiagnosisView, 2, propput, MaxStackSize, (P(in, VARIANT, ))) \
    X(IDiagnosisView, 3, propput, CommStackVal, (P(in, VARIANT, ))) \
    X(IDiagnosisView, 4, propput, ProgBarVal, (P(in, VARIANT, )))

#define FDT_MEMBERS_IMonitorView(X, P) \
    X(IMonitorView, 1, method, MessageLine, (P(in, BSTR, Line), P(in, long, LineColor)))

// The test page's request documents. XML_Doc picks the document (0 abort, 1 connect,
// 2 disconnect, 3 data exchange); CommunicationData is the data-exchange record as an array
// (MessageType, ObjectType, NoOfBytes, SubNo, ObjectNo, Data, Control); the other arguments
// may be left out. "" for any other XML_Doc.
#define FDT_MEMBERS_ITestView(X, P) \
    X(ITestView, 1, method, GetXMLDocument, (P(inout, short, XML_Doc), P(optin, VARIANT, communicationReference), P(optin, VARIANT, CommunicationData), P(optin, VARIANT, control), P(optin, VARIANT, CNumber), P(optin, VARIANT, RecCmd), P(optin, VARIANT, Filename), P(retval, BSTR, result)))

// The named child controls of a control, for caption translation. Index is Empty for a control
// outside a control array.
#define FDT_MEMBERS_IControlCaptions(X, P) \
    X(IControlCaptions, 1, propget, Count, (P(retval, long, count))) \
    X(IControlCaptions, 2, method, Name, (P(in, long, position), P(retval, BSTR, name))) \
    X(IControlCaptions, 3, method, Index, (P(in, long, position), P(retval, VARIANT, index))) \
    X(IControlCaptions, 4, method, SetCaption, (P(in, long, position), P(in, BSTR, caption)))

// clang-format on

namespace fdt {

FDT_DUAL_INTERFACE(IActiveXGUI, FDT_MEMBERS_IActiveXGUI);
FDT_DUAL_INTERFACE(IOfflineParamView, FDT_MEMBERS_IOfflineParamView);
FDT_DUAL_INTERFACE(IDiagnosisView, FDT_MEMBERS_IDiagnosisView);
FDT_DUAL_INTERFACE(IMonitorView, FDT_MEMBERS_IMonitorView);
FDT_DUAL_INTERFACE(ITestView, FDT_MEMBERS_ITestView);
FDT_DUAL_INTERFACE(IControlCaptions, FDT_MEMBERS_IControlCaptions);

// A control's page for the frame. The control owns the widget: the frame may reparent it into
// its window but never deletes it, and takes it out of its layout before the last Release.
// Null once the page is gone. Not dispatchable: only an in-process frame can use a widget.
class IActiveXWidget : public com::IUnknown {
public:
    static constexpr com::Guid iid = IID_IActiveXWidget;
    using Base = com::IUnknown;
    virtual QWidget* Widget() = 0;
};

}  // namespace fdt
