#include "tivlink/protocol/LoginCounter.h"

#include <algorithm>
#include <string>

namespace tivlink {

namespace {
constexpr int kLoginMax = 3;
constexpr int kLoginThreshold = 2;
}  // namespace

void LoginCounter::Count(bool loggedOnBit, const char* origin) {
    if (loggedOnBit) {
        const int count = std::min(state_.loginCounter.load() + 1, kLoginMax);
        StoreIfChanged(state_.loginCounter, count);
        if (count > kLoginThreshold) {
            StoreIfChanged(state_.loggedIn, true);
            if (!ExchangeIfChanged(state_.loggedInReported, true))
                events_.Post(kMsgAdapterLoggedIn, std::string(origin) + "->OnAdapterLoggedIn");
        }
    } else {
        const int count = std::max(state_.loginCounter.load() - 1, 0);
        state_.loginCounter = count;
        if (count == 0) {
            state_.loggedIn = false;
            if (state_.loggedInReported.exchange(false))
                events_.Post(kMsgAdapterLoggedOut, std::string(origin) + "->OnAdapterLoggedOut");
        }
    }
}

}  // namespace tivlink
