#pragma once

#include <string>
#include <vector>

#include "com/ComObject.h"
#include "fdt/FdtInterfaces.h"

namespace tivframe {

// The frame playing a device DTM: the callback the DTM answers communication requests on.
// Answers can come before the request call returns, so they are kept until looked up.
class DeviceDtm final
    : public com::ComObject<DeviceDtm, fdt::DualImpl<DeviceDtm, fdt::IFdtCommunicationEvents>> {
public:
    struct Answer {
        std::string kind;  // "connect", "disconnect", "transaction", "abort"
        std::string invokeId, document;
    };

    com::HRESULT OnAbort(const std::string& reference) override {
        return Add("abort", reference, "");
    }
    com::HRESULT OnConnectResponse(const std::string& id, const std::string& doc) override {
        return Add("connect", id, doc);
    }
    com::HRESULT OnDisconnectResponse(const std::string& id, const std::string& doc) override {
        return Add("disconnect", id, doc);
    }
    com::HRESULT OnTransactionResponse(const std::string& id, const std::string& doc) override {
        return Add("transaction", id, doc);
    }

    // The answer to this request, when it came.
    const Answer* Find(const std::string& kind, const std::string& invokeId) const {
        for (const auto& a : answers_)
            if (a.kind == kind && a.invokeId == invokeId) return &a;
        return nullptr;
    }

private:
    com::HRESULT Add(std::string kind, std::string id, std::string doc) {
        answers_.push_back({std::move(kind), std::move(id), std::move(doc)});
        return com::S_OK;
    }
    std::vector<Answer> answers_;
};

}  // namespace tivframe
