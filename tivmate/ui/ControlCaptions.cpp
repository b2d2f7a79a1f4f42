#include "ui/ControlCaptions.h"

#include <QAbstractButton>
#include <QGroupBox>
#include <QLabel>

namespace tivmate::ui {

namespace {

bool Captioned(const QWidget* w) {
    return qobject_cast<const QLabel*>(w) || qobject_cast<const QAbstractButton*>(w) ||
           qobject_cast<const QGroupBox*>(w);
}

bool InsideUserControl(const QWidget* w, const QWidget* page) {
    for (const QObject* p = w->parent(); p && p != page; p = p->parent())
        if (p->property(kUserControlProperty).toBool()) return true;
    return false;
}

}  // namespace

void MakeArrayMember(QWidget* w, const QString& name, int index) {
    w->setObjectName(name + "_" + QString::number(index));
    w->setProperty(kIndexProperty, index);
}

ControlCaptions::ControlCaptions(QWidget* page) {
    if (!page) return;
    for (QWidget* w : page->findChildren<QWidget*>()) {
        const QString name = w->objectName();
        if (name.isEmpty() || name.startsWith("qt_") || !Captioned(w) || InsideUserControl(w, page))
            continue;
        widgets_.emplace_back(w);
    }
}

QWidget* ControlCaptions::At(std::int32_t position) const {
    if (position < 0 || static_cast<std::size_t>(position) >= widgets_.size()) return nullptr;
    return widgets_[static_cast<std::size_t>(position)].data();
}

com::HRESULT ControlCaptions::get_Count(std::int32_t* count) {
    if (!count) return com::E_POINTER;
    *count = static_cast<std::int32_t>(widgets_.size());
    return com::S_OK;
}

com::HRESULT ControlCaptions::Name(std::int32_t position, std::string* name) {
    if (!name) return com::E_POINTER;
    QWidget* w = At(position);
    if (!w) return com::E_INVALIDARG;
    QString text = w->objectName();
    if (w->property(kIndexProperty).isValid()) text = text.left(text.lastIndexOf('_'));
    *name = text.toStdString();
    return com::S_OK;
}

com::HRESULT ControlCaptions::Index(std::int32_t position, com::Variant* index) {
    if (!index) return com::E_POINTER;
    QWidget* w = At(position);
    if (!w) return com::E_INVALIDARG;
    const QVariant i = w->property(kIndexProperty);
    *index = i.isValid() ? com::Variant(static_cast<std::int32_t>(i.toInt())) : com::Variant();
    return com::S_OK;
}

com::HRESULT ControlCaptions::SetCaption(std::int32_t position, const std::string& caption) {
    QWidget* w = At(position);
    if (!w) return com::E_INVALIDARG;
    const QString text = QString::fromStdString(caption);
    if (auto* label = qobject_cast<QLabel*>(w))
        label->setText(text);
    else if (auto* button = qobject_cast<QAbstractButton*>(w))
        button->setText(text);
    else if (auto* box = qobject_cast<QGroupBox*>(w))
        box->setTitle(text);
    return com::S_OK;
}

}  // namespace tivmate::ui
