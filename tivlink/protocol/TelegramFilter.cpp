#include "tivlink/protocol/TelegramFilter.h"

namespace tivlink {

namespace {
bool Bit(std::int32_t mask, int bit) {
    return bit >= 0 && bit < 32 && ((static_cast<std::uint32_t>(mask) >> bit) & 1u) != 0;
}
std::uint8_t At(std::span<const std::uint8_t> f, std::size_t i) {
    return i < f.size() ? f[i] : 0;
}
}  // namespace

bool TelegramFilter::Passes(std::span<const std::uint8_t> frame) {
    if (frame.size() < 4) return false;
    const int type = frame[3] >> 5;
    const bool cyclic = type < 5;
    int obj;
    int sub = 0;
    if (cyclic) {
        obj = frame[3] & 0x1F;
        addressValid_ = obj >= 1 && obj <= 31;
    } else {
        obj = At(frame, 6) | At(frame, 7) << 8;
        sub = At(frame, 5);
    }
    const int kind = filterType;
    if (kind == 0) return true;  // the monitor's usual setting: no further loads
    const int msg = msgType;
    const int min = objTypeMin;
    const int max = objTypeMax;
    const bool searched = cyclic && addressValid_ && Bit(searchObjNr, obj);
    switch (kind) {
        case 1:
        case 2:
        case 3:
        case 4:
        case 5:
        case 6:
        case 7:
        case 8:
            return addressValid_ && (msg == 0 ? type == kind - 1 : Bit(msg, type));
        case 9:
            return obj == min;
        case 10:
            return cyclic && addressValid_;
        case 11:
            return !cyclic;
        case 12:
            return cyclic && addressValid_ && min <= obj && obj < max;
        case 13: {
            const int subMin = subNrMin;
            const int subMax = subNrMax;
            return !cyclic && min > 31 && max < 65535 && subMin > 0 && subMax < 255 && min <= obj &&
                   obj < max && subMin <= sub && sub < subMax;
        }
        case 14:
            return searched;
        case 15:
            return searched && type == msg;
        case 16:
            return searched && Bit(msg, type);
        default:
            return false;
    }
}

}  // namespace tivlink
