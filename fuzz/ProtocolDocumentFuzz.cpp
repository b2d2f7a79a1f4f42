#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/XMLHelp.h"

// Input: a transaction document from a caller. A request the mapping accepts must hold as
// many data bytes as NoOfBytes announces, and its answer document (the request written back,
// as a telegram without answer is) must load again and carry the same header.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const tivmate::XMLHelp help(std::string(TIVMATE_DATA_DIR) + "/XMLData", "/");
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::string refusal;
    const auto call = help.XMLDocumentToTIVProtocol(text, refusal);
    if (!call) {
        if (refusal.empty()) __builtin_trap();
        return 0;
    }
    if (call->NoOfBytes > 4 && call->Data.size() < static_cast<std::size_t>(call->NoOfBytes - 4))
        __builtin_trap();
    const std::string answer = help.TIVProtocolToXMLDocument("{R}", *call);
    const auto noOfBytes = tivmate::XMLHelp::GetCallerAttribute(
        answer, "FDT/DataExchangeResponse/CommunicationHeader", "NoOfBytes");
    if (noOfBytes != std::to_string(call->NoOfBytes)) __builtin_trap();
    return 0;
}
