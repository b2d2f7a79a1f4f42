#pragma once

// The FDT 1.2 interfaces the DTM implements and calls, members in FDT order. All dual, so that
// frames and scripts may drive them late-bound; C++ callers use the virtual tables. Results
// that FDT returns as booleans are VARIANT_BOOL retvals; a refusal is a false result, never a
// failing HRESULT.

#include "fdt/DualInterface.h"

// clang-format off

// The frame's container (what the DTM relies on of it).
#define FDT_MEMBERS_IFdtContainer(X, P) \
    X(IFdtContainer, 1, method, GetXmlSchemaPath, (P(retval, BSTR, path)))

#define FDT_MEMBERS_IDtm(X, P) \
    X(IDtm, 1, method, Environment, (P(in, BSTR, systemTag), P(in, IDispatch, container), P(retval, VARIANT_BOOL, result))) \
    X(IDtm, 2, method, InitNew, (P(in, BSTR, deviceType), P(retval, VARIANT_BOOL, result))) \
    X(IDtm, 3, method, Config, (P(in, BSTR, userInformation), P(retval, VARIANT_BOOL, result))) \
    X(IDtm, 4, method, SetCommunication, (P(in, IDispatch, communication), P(retval, VARIANT_BOOL, result))) \
    X(IDtm, 5, method, PrepareToRelease, (P(retval, VARIANT_BOOL, result))) \
    X(IDtm, 6, method, PrepareToReleaseCommunication, (P(retval, VARIANT_BOOL, result))) \
    X(IDtm, 7, method, ReleaseCommunication, (P(retval, VARIANT_BOOL, result))) \
    X(IDtm, 8, method, PrepareToDelete, (P(retval, VARIANT_BOOL, result))) \
    X(IDtm, 9, method, SetLanguage, (P(in, long, languageId), P(retval, VARIANT_BOOL, result))) \
    X(IDtm, 10, method, GetFunctions, (P(in, BSTR, operationState), P(retval, BSTR, result))) \
    X(IDtm, 11, method, InvokeFunctionRequest, (P(in, BSTR, invokeId), P(in, BSTR, functionCall), P(retval, VARIANT_BOOL, result))) \
    X(IDtm, 12, method, PrivateDialogEnabled, (P(in, VARIANT_BOOL, enabled), P(retval, VARIANT_BOOL, result)))

// The frame's notifications from a DTM. The sixth takes the invoke id of a function the frame
// opened (a control reports its release with it).
#define FDT_MEMBERS_IDtmEvents(X, P) \
    X(IDtmEvents, 1, method, OnParameterChanged, (P(in, BSTR, systemTag), P(in, BSTR, parameterXml), P(retval, VARIANT_BOOL, result))) \
    X(IDtmEvents, 2, method, OnErrorMessage, (P(in, BSTR, systemTag), P(in, BSTR, errorMessage))) \
    X(IDtmEvents, 3, method, OnProgress, (P(in, BSTR, systemTag), P(in, BSTR, title), P(in, long, percent), P(in, VARIANT_BOOL, show))) \
    X(IDtmEvents, 4, method, OnUploadFinished, (P(in, BSTR, systemTag), P(in, VARIANT_BOOL, success))) \
    X(IDtmEvents, 5, method, OnDownloadFinished, (P(in, BSTR, systemTag), P(in, VARIANT_BOOL, success))) \
    X(IDtmEvents, 6, method, OnApplicationClosed, (P(in, BSTR, invokeId))) \
    X(IDtmEvents, 7, method, OnFunctionChanged, (P(in, BSTR, systemTag))) \
    X(IDtmEvents, 8, method, OnChannelFunctionChanged, (P(in, BSTR, systemTag), P(in, BSTR, channelPath))) \
    X(IDtmEvents, 9, method, OnPrint, (P(in, BSTR, systemTag), P(in, BSTR, documentReference))) \
    X(IDtmEvents, 10, method, OnNavigation, (P(in, BSTR, systemTag), P(in, BSTR, navigation))) \
    X(IDtmEvents, 11, method, OnOnlineStateChanged, (P(in, BSTR, systemTag), P(in, VARIANT_BOOL, online))) \
    X(IDtmEvents, 12, method, OnPreparedToRelease, (P(in, BSTR, systemTag))) \
    X(IDtmEvents, 13, method, OnPreparedToReleaseCommunication, (P(in, BSTR, systemTag))) \
    X(IDtmEvents, 14, method, OnInvokedFunctionFinished, (P(in, BSTR, invokeId), P(in, VARIANT_BOOL, success))) \
    X(IDtmEvents, 15, method, OnScanResponse, (P(in, BSTR, invokeId), P(in, BSTR, response)))

#define FDT_MEMBERS_IDtmInformation(X, P) \
    X(IDtmInformation, 1, method, GetInformation, (P(retval, BSTR, result)))

// The frame's notifications to the DTM.
#define FDT_MEMBERS_IFdtEvents(X, P) \
    X(IFdtEvents, 1, method, OnChildParameterChanged, (P(in, BSTR, childTag), P(retval, VARIANT_BOOL, result))) \
    X(IFdtEvents, 2, method, OnLockDataSet, (P(in, BSTR, systemTag), P(in, BSTR, lockInfo), P(retval, VARIANT_BOOL, result))) \
    X(IFdtEvents, 3, method, OnParameterChanged, (P(in, BSTR, systemTag), P(in, BSTR, parameterXml), P(retval, VARIANT_BOOL, result))) \
    X(IFdtEvents, 4, method, OnUnlockDataSet, (P(in, BSTR, systemTag), P(in, BSTR, lockInfo), P(retval, VARIANT_BOOL, result)))

#define FDT_MEMBERS_IDtmActiveXInformation(X, P) \
    X(IDtmActiveXInformation, 1, method, GetActiveXGuid, (P(in, BSTR, functionCall), P(retval, BSTR, result))) \
    X(IDtmActiveXInformation, 2, method, GetActiveXProgId, (P(in, BSTR, functionCall), P(retval, BSTR, result)))

#define FDT_MEMBERS_IFdtCommunication(X, P) \
    X(IFdtCommunication, 1, method, Abort, (P(in, BSTR, communicationReference))) \
    X(IFdtCommunication, 2, method, ConnectRequest, (P(in, IDispatch, callback), P(in, BSTR, invokeId), P(in, BSTR, protocolId), P(in, BSTR, xmlDocument), P(retval, VARIANT_BOOL, result))) \
    X(IFdtCommunication, 3, method, DisconnectRequest, (P(in, BSTR, invokeId), P(in, BSTR, xmlDocument), P(retval, VARIANT_BOOL, result))) \
    X(IFdtCommunication, 4, method, TransactionRequest, (P(in, BSTR, invokeId), P(in, BSTR, xmlDocument), P(retval, VARIANT_BOOL, result))) \
    X(IFdtCommunication, 5, method, GetSupportedProtocols, (P(retval, BSTR, result))) \
    X(IFdtCommunication, 6, method, SequenceBegin, (P(in, BSTR, sequence), P(retval, VARIANT_BOOL, result))) \
    X(IFdtCommunication, 7, method, SequenceStart, (P(in, BSTR, sequence), P(retval, VARIANT_BOOL, result))) \
    X(IFdtCommunication, 8, method, SequenceEnd, (P(in, BSTR, sequence), P(retval, VARIANT_BOOL, result)))

// A device DTM's callback for the answers to its requests.
#define FDT_MEMBERS_IFdtCommunicationEvents(X, P) \
    X(IFdtCommunicationEvents, 1, method, OnAbort, (P(in, BSTR, communicationReference))) \
    X(IFdtCommunicationEvents, 2, method, OnConnectResponse, (P(in, BSTR, invokeId), P(in, BSTR, response))) \
    X(IFdtCommunicationEvents, 3, method, OnDisconnectResponse, (P(in, BSTR, invokeId), P(in, BSTR, response))) \
    X(IFdtCommunicationEvents, 4, method, OnTransactionResponse, (P(in, BSTR, invokeId), P(in, BSTR, response)))

#define FDT_MEMBERS_IDtmDocumentation(X, P) \
    X(IDtmDocumentation, 1, method, GetDocumentation, (P(in, BSTR, functionCall), P(retval, BSTR, result)))

#define FDT_MEMBERS_IDtmChannel(X, P) \
    X(IDtmChannel, 1, method, GetChannels, (P(retval, IDispatch, channels)))

#define FDT_MEMBERS_IFdtChannel(X, P) \
    X(IFdtChannel, 1, method, GetChannelParameters, (P(in, BSTR, parameterPath), P(in, BSTR, protocolId), P(retval, BSTR, result))) \
    X(IFdtChannel, 2, method, GetChannelPath, (P(retval, BSTR, result))) \
    X(IFdtChannel, 3, method, SetChannelParameters, (P(in, BSTR, parameterPath), P(in, BSTR, protocolId), P(in, BSTR, xmlDocument), P(retval, VARIANT_BOOL, result)))

#define FDT_MEMBERS_IFdtChannelSubTopology(X, P) \
    X(IFdtChannelSubTopology, 1, method, ScanRequest, (P(in, BSTR, protocolId), P(retval, VARIANT_BOOL, result))) \
    X(IFdtChannelSubTopology, 2, method, ValidateAddChild, (P(in, BSTR, childTag), P(retval, VARIANT_BOOL, result))) \
    X(IFdtChannelSubTopology, 3, method, OnAddChild, (P(in, BSTR, childTag), P(retval, VARIANT_BOOL, result))) \
    X(IFdtChannelSubTopology, 4, method, ValidateRemoveChild, (P(in, BSTR, childTag), P(retval, VARIANT_BOOL, result))) \
    X(IFdtChannelSubTopology, 5, method, OnRemoveChild, (P(in, BSTR, childTag), P(retval, VARIANT_BOOL, result)))

#define FDT_MEMBERS_IDtmParameter(X, P) \
    X(IDtmParameter, 1, method, GetParameters, (P(in, BSTR, parameterPath), P(retval, BSTR, result))) \
    X(IDtmParameter, 2, method, SetParameters, (P(in, BSTR, parameterPath), P(in, BSTR, xmlDocument), P(retval, VARIANT_BOOL, result)))

// A control the frame shows for a DTM function.
#define FDT_MEMBERS_IDtmActiveXControl(X, P) \
    X(IDtmActiveXControl, 1, method, Init, (P(in, BSTR, invokeId), P(in, BSTR, functionCall), P(in, IDispatch, dtm), P(retval, VARIANT_BOOL, result))) \
    X(IDtmActiveXControl, 2, method, PrepareToRelease, (P(retval, VARIANT_BOOL, result)))

// The channel collection: Item takes a 1-based position or a name.
#define FDT_MEMBERS_IFdtChannelCollection(X, P) \
    X(IFdtChannelCollection, 1, propget, Count, (P(retval, long, count))) \
    X(IFdtChannelCollection, 0, method, Item, (P(in, VARIANT, index), P(retval, IDispatch, item))) \
    X(IFdtChannelCollection, 2, method, Add, (P(in, IDispatch, item), P(in, BSTR, name)))

// clang-format on

namespace fdt {

FDT_DUAL_INTERFACE(IFdtContainer, FDT_MEMBERS_IFdtContainer);
FDT_DUAL_INTERFACE(IDtm, FDT_MEMBERS_IDtm);
FDT_DUAL_INTERFACE(IDtmEvents, FDT_MEMBERS_IDtmEvents);
FDT_DUAL_INTERFACE(IDtmInformation, FDT_MEMBERS_IDtmInformation);
FDT_DUAL_INTERFACE(IFdtEvents, FDT_MEMBERS_IFdtEvents);
FDT_DUAL_INTERFACE(IDtmActiveXInformation, FDT_MEMBERS_IDtmActiveXInformation);
FDT_DUAL_INTERFACE(IFdtCommunication, FDT_MEMBERS_IFdtCommunication);
FDT_DUAL_INTERFACE(IFdtCommunicationEvents, FDT_MEMBERS_IFdtCommunicationEvents);
FDT_DUAL_INTERFACE(IDtmDocumentation, FDT_MEMBERS_IDtmDocumentation);
FDT_DUAL_INTERFACE(IDtmChannel, FDT_MEMBERS_IDtmChannel);
FDT_DUAL_INTERFACE(IFdtChannel, FDT_MEMBERS_IFdtChannel);
FDT_DUAL_INTERFACE(IFdtChannelSubTopology, FDT_MEMBERS_IFdtChannelSubTopology);
FDT_DUAL_INTERFACE(IDtmParameter, FDT_MEMBERS_IDtmParameter);
FDT_DUAL_INTERFACE(IDtmActiveXControl, FDT_MEMBERS_IDtmActiveXControl);
FDT_DUAL_INTERFACE(IFdtChannelCollection, FDT_MEMBERS_IFdtChannelCollection);

}  // namespace fdt
