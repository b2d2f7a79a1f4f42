#include "core/clsCommunicator.h"

#include <vector>

#include "core/TextConversions.h"

namespace tivmate {

void clsCommunicator::SetAdapterSWNumber(const com::Variant& value) {
    if (const com::SafeArray* array = value.arrayPtr()) {
        std::vector<std::uint8_t> bytes;
        for (std::int32_t i = array->lowerBound(); i <= array->upperBound(); ++i) {
            com::Variant element;
            if (array->getElement(i, element) != com::S_OK) continue;
            bytes.push_back(static_cast<std::uint8_t>(element.toInt64().value_or(0)));
        }
        m_AdapterSWNumber = com::Variant(VersionRecordText(bytes));
        return;
    }
    m_AdapterSWNumber = value.value();
}

}  // namespace tivmate
