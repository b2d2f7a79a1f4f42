#pragma once

#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "ui/ControlBase.h"
#include "ui/CtlOfflineParam.h"

namespace tivmate::ui {

// The service panel: connects, disconnects, reads and writes one object, starts and stops a
// cyclic record and aborts through the DTM's own communication interface, as a device DTM
// would. Its captions are fixed English texts. The last answer the DTM gave it is shown in
// one line; everything else is seen in the monitor.
class CtlTest final : public Control<CtlTest, fdt::IFdtCommunicationEvents, fdt::ITestView> {
public:
    // The data-exchange request the buttons describe.
    struct Request {
        std::uint8_t MessageType = 5, ObjectType = 2, NoOfBytes = 4, SubNo = 0;
        std::int32_t ObjectNo = 0;
        std::string Data;
        std::uint8_t Control = 0;
    };

    static constexpr std::string_view kProtocolId = "81684E65-6385-4690-ACCF-49995B3B4E8B";
    static constexpr std::string_view kDeviceTag = "TIV-TEST-DEVICE";
    static constexpr std::string_view kCNumber = "0000000000000000000A";
    // The cyclic record's pairs of object and data type: objects 20 to 24.
    static constexpr std::string_view kCyclicPairs = "14001500160017011801";

    CtlTest();
    static com::HRESULT createInstance(const com::Guid& iid, void** out) noexcept;

    void OnInit();
    com::HRESULT UpdateLanguage() override;
    // A page that closes ends the connection it made: nobody else could use it, and it would
    // keep the page alive inside the DTM.
    com::HRESULT PrepareToRelease(com::VARIANT_BOOL* result) override;

    // IFdtCommunicationEvents: each shows the answer in LastResponse.
    com::HRESULT OnAbort(const std::string& communicationReference) override;
    com::HRESULT OnConnectResponse(const std::string& invokeId,
                                   const std::string& response) override;
    com::HRESULT OnDisconnectResponse(const std::string& invokeId,
                                      const std::string& response) override;
    com::HRESULT OnTransactionResponse(const std::string& invokeId,
                                       const std::string& response) override;

    // ITestView
    com::HRESULT GetXMLDocument(std::int16_t* XML_Doc, const com::Variant& communicationReference,
                                const com::Variant& CommunicationData, const com::Variant& control,
                                const com::Variant& CNumber, const com::Variant& RecCmd,
                                const com::Variant& Filename, std::string* result) override;

    // The document itself; raises when the template does not load. Empty texts are not set.
    std::string BuildDocument(int xmlDoc, const std::string& communicationReference,
                              const Request* request, const std::string& CNumber = {},
                              const std::string& RecCmd = {},
                              const std::string& Filename = {}) const;

    // A decimal text within [low, high]; nullopt for anything else.
    static std::optional<std::int32_t> ParseNumber(const QString& text, std::int32_t low,
                                                   std::int32_t high);
    static std::filesystem::path CyclicFile();

private:
    void ConnectClick();
    void DisconnectClick();
    void AbortClick();
    void BusCategoryClick();
    void ReadClick();
    void WriteClick();
    void ReadCyclicClick();
    void AbortCyclicClick();
    // Sends a data exchange; afterwards only the DTM's own pending messages run.
    void SendTransaction(const Request& request, const std::string& RecCmd = {},
                         const std::string& Filename = {});
    com::ComPtr<fdt::IFdtCommunication> Communication() const;
    std::string CommunicationReference() const;

    // Why the field's text cannot be sent; empty when it can.
    QString Problem(const QLineEdit* field) const;
    // True when every field can be sent; the others are marked with their reason.
    bool Sendable(std::initializer_list<QLineEdit*> fields);
    static void Mark(QLineEdit* field, const QString& why);
    void Unmark(QLineEdit* field);
    void Recheck(QLineEdit* field);
    void ShowAnswer(const char* callback, const std::string& response);

    NumberField *objectNumber_, *subNumber_, *recordTime_;
    QLineEdit* data_;
    QPointer<QLineEdit> lastResponse_;
};

}  // namespace tivmate::ui
