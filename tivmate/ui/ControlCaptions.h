#pragma once

#include <QPointer>
#include <QWidget>
#include <vector>

#include "com/ComObject.h"
#include "fdt/ControlInterfaces.h"

namespace tivmate::ui {

// Marks a widget as a nested user control: the caption walk of the page around it does not
// enter it (its inner labels are its own business).
inline constexpr char kUserControlProperty[] = "tivUserControl";
// A member of a control array: the widget is named "Name_Index" and carries its index here.
inline constexpr char kIndexProperty[] = "tivControlIndex";

// Marks `w` as element `index` of the control array `name` ("Line1_0", "Line1_1", …).
void MakeArrayMember(QWidget* w, const QString& name, int index);

// The captioned children of a page, in creation order, for the DTM's caption translation:
// labels (pictures are no labels), buttons and check boxes, group boxes. Children of nested
// user controls and Qt's own ("qt_…") are left out. A widget deleted meanwhile is skipped.
class ControlCaptions final
    : public com::ComObject<ControlCaptions,
                            fdt::DualImpl<ControlCaptions, fdt::IControlCaptions>> {
public:
    explicit ControlCaptions(QWidget* page);

    com::HRESULT get_Count(std::int32_t* count) override;
    com::HRESULT Name(std::int32_t position, std::string* name) override;
    com::HRESULT Index(std::int32_t position, com::Variant* index) override;
    com::HRESULT SetCaption(std::int32_t position, const std::string& caption) override;

private:
    QWidget* At(std::int32_t position) const;
    std::vector<QPointer<QWidget>> widgets_;
};

}  // namespace tivmate::ui
