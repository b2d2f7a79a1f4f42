#pragma once

// Small builders the pages share for their named children.

#include <QFont>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include "ui/CtlHeadline.h"
#include "ui/PictureBox.h"

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
inline QHBoxLayout* AddTitleRow(QWidget* page, CtlHeadline** headline,
                                const char* titleName = "lblHeadlineTitle") {
    auto* row = new QHBoxLayout;
    auto* title = AddLabel(page, titleName);
    QFont big = title->font();
    big.setPointSizeF(big.pointSizeF() * 1.4);
    big.setBold(true);
    title->setFont(big);
    *headline = new CtlHeadline(page);
    row->addWidget(title, 1);
    row->addWidget(*headline, 0);
    return row;
}

// The left column of the parameter pages: the device, the tree and the communication status.
struct DeviceColumn {
    QVBoxLayout* layout;
    PictureBox* deviceImage;
    PictureBox* statusImage;
    QLabel* commStatus;
};

inline DeviceColumn AddDeviceColumn(QWidget* page) {
    DeviceColumn c{};
    auto* deviceArea = AddPanel(page, "DeviceArea");
    c.deviceImage = new PictureBox("DeviceImage", deviceArea);
    auto* device = new QVBoxLayout(deviceArea);
    device->addWidget(c.deviceImage, 0, Qt::AlignHCenter);
    device->addWidget(AddLabel(deviceArea, "lblDeviceType"), 0, Qt::AlignHCenter);
    auto* treeArea = AddPanel(page, "TreeArea");
    auto* statusArea = AddPanel(page, "StatusArea");
    c.statusImage = new PictureBox("StatusImage", statusArea);
    c.commStatus = AddLabel(statusArea, "lblCommStatus");
    c.commStatus->setWordWrap(true);
    auto* status = new QHBoxLayout(statusArea);
    status->addWidget(c.statusImage);
    status->addWidget(c.commStatus, 1);
    for (QFrame* f : {deviceArea, treeArea, statusArea}) f->setFixedWidth(180);
    c.layout = new QVBoxLayout;
    c.layout->addWidget(deviceArea);
    c.layout->addWidget(treeArea, 1);
    c.layout->addWidget(statusArea);
    return c;
}

}  // namespace tivmate::ui
