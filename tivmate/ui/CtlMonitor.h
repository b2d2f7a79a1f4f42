#pragma once

#include <QCheckBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <cstdint>
#include <vector>

#include "ui/ControlBase.h"
#include "ui/CtlHeadline.h"

namespace tivmate::ui {

// The protocol monitor: the DTM's monitor lines in colour, the two filters, save and clear;
// beyond those a pause that keeps collecting, copying whole selected lines and a search field.
class CtlMonitor final : public Control<CtlMonitor, fdt::IMonitorView> {
public:
    // The box's length limit in characters (each line break counts two); when a line arrives
    // with more than the limit less 1000, the oldest 20 lines go.
    static constexpr std::int64_t kMaxLength = 0xFFFFFFF;
    static constexpr int kTrimLines = 20;

    CtlMonitor();
    static com::HRESULT createInstance(const com::Guid& iid, void** out) noexcept;

    void OnInit();
    com::HRESULT UpdateLanguage() override;
    // Collects the line; the box shows it within one turn of the event loop (lines arriving
    // together are drawn together).
    com::HRESULT MessageLine(const std::string& Line, std::int32_t LineColor) override;

    // Shows every collected line now.
    void Flush();
    void SetMaxLength(std::int64_t max) { maxLength_ = max; }
    std::int64_t Length() const { return length_; }
    // The box's text as saved: a line break before every line, then a final one.
    QByteArray SaveText() const;

private:
    struct Pending {
        QString text;
        std::int32_t color;
    };
    void Append(const Pending& line);
    void Trim();
    void FilterClick(bool checked, const char* name,
                     com::HRESULT (_DTMMain::*get)(com::VARIANT_BOOL*),
                     com::HRESULT (_DTMMain::*put)(com::VARIANT_BOOL));
    void Save();
    void Clear();
    void CopyLines();
    void Find(bool backward);
    void Layout();
    void PaintSave(bool down);

    CtlHeadline* headline_;
    QPlainTextEdit* box_;
    QCheckBox *protocols_, *interface_;
    QPushButton *save_, *clear_, *pause_, *copy_;
    QLineEdit* find_;
    QTimer* flush_;
    std::vector<Pending> pending_;
    std::int64_t length_ = 0;  // of the box's text, CR LF counted as two
    std::int64_t maxLength_ = kMaxLength;
};

}  // namespace tivmate::ui
