#pragma once

#include <QWidget>

#include "ui/PictureBox.h"

namespace tivmate::ui {

// Our web address, opened by the logo and shown in its tool tip.
inline constexpr char kMakerUrl[] = "https://tivmate.example.org/";

// The strip across the top of every page: the logo at the right edge. A nested user
// control, so the page's caption walk leaves it alone.
class CtlHeadline : public QWidget {
public:
    explicit CtlHeadline(QWidget* parent);

    // Accepts any title and keeps none: a page shows its own title label.
    void SetTitle(const QString&) {}
    PictureBox* Logo() const { return logo_; }

private:
    PictureBox* logo_;
};

}  // namespace tivmate::ui
