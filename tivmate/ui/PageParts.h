#pragma once

// Small builders the pages share for their named children.

#include <QFont>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include "ui/CtlHeadline.h"

namespace tivmate::ui {

inline QLabel* AddLabel(QWidget* parent, const char* name) {
    auto* label = new QLabel(parent);
    label->setObjectName(name);
    return label;
}

// A captionless panel.
inline QFrame* AddPanel(QWidget* parent, const char* name) {
    auto* panel = new QFrame(parent);
    panel->setObjectName(name);
    panel->setFrameShape(QFrame::StyledPanel);
    return panel;
}

// The page's title at the left of the headline strip.
inline QHBoxLayout* AddTitleRow(QWidget* page, CtlHeadline** headline) {
    auto* row = new QHBoxLayout;
    auto* title = AddLabel(page, "lblHeadlineTitle");
    QFont big = title->font();
    big.setPointSizeF(big.pointSizeF() * 1.4);
    big.setBold(true);
    title->setFont(big);
    *headline = new CtlHeadline(page);
    row->addWidget(title, 1);
    row->addWidget(*headline, 0);
    return row;
}

}  // namespace tivmate::ui
