#pragma once

#include <QColor>
#include <cstdint>

namespace tivmate::ui {

// The system's colours are COLORREF values, 0x00BBGGRR: &HFF0000 is blue. The top byte
// (system-colour flags) is never set by the DTM and is ignored.
inline QColor FromColorRef(std::uint32_t c) {
    return QColor(static_cast<int>(c & 0xFF), static_cast<int>((c >> 8) & 0xFF),
                  static_cast<int>((c >> 16) & 0xFF));
}

}  // namespace tivmate::ui
