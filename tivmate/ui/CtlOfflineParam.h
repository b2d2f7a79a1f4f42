#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <functional>

#include "ui/ControlBase.h"
#include "ui/CtlHeadline.h"

namespace tivmate::ui {

// A digits-only field that runs a hook after each key release.
class NumberField : public QLineEdit {
public:
    NumberField(const QString& name, QWidget* parent);
    std::function<void()> onKeyRelease;

protected:
    void keyReleaseEvent(QKeyEvent* e) override;
};

// The offline parameter page: adapter, time-out, retries, call-queue depth and USB delay,
// each written into the DTM as it is edited, and the communication status.
class CtlOfflineParam final : public Control<CtlOfflineParam, fdt::IOfflineParamView> {
public:
    // Time-out and queue depth: 0 would stall or refuse every request.
    static constexpr int kMinValue = 1;
    static constexpr int kMaxValue = 32767;

    CtlOfflineParam();
    static com::HRESULT createInstance(const com::Guid& iid, void** out) noexcept;

    void OnInit();
    com::HRESULT UpdateLanguage() override;
    com::HRESULT SetParameterStatus(std::int32_t CommStatus,
                                    const std::string& StatusText) override;

private:
    // Which stored member a number field edits.
    struct NumberSetting {
        NumberField* field;
        const char* name;  // the member and the changed-value name
        com::HRESULT (_DTMMain::*get)(std::int16_t*);
        com::HRESULT (_DTMMain::*put)(std::int16_t);
    };

    void AdapterClick(int index);
    void RetriesClick(int index);
    void DelayClick(bool checked);
    void NumberChanged(const NumberSetting& s);
    void NumberKeyUp(const NumberSetting& s);
    std::int16_t Stored(com::HRESULT (_DTMMain::*get)(std::int16_t*)) const;

    CtlHeadline* headline_;
    PictureBox *deviceImage_, *statusImage_;
    QLabel* lblCommStatus_;
    QComboBox *adapter_, *retries_;
    QCheckBox* delay_;
    NumberSetting timeout_, maxStack_;
};

}  // namespace tivmate::ui
