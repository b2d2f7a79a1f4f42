#pragma once

#include <QWidget>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "tivlink/automation/TForm1.h"

class QLabel;
class QPlainTextEdit;
class QSystemTrayIcon;

namespace tivlink {

// The debug window as a Qt tool window: caption, counters, lamp and message list of one
// TForm1, and the tray icon where the desktop has a tray. Lives on the GUI thread; a close
// request only hides it, since the driver needs the window until DrvFree.
class QtDebugWindow final : public QWidget, public IDebugWindowView {
public:
    static constexpr int kClientWidth = 387;
    static constexpr int kClientHeight = 220;
    static constexpr int kLeft = 625;
    static constexpr int kTop = 2;
    static constexpr int kMemoHeight = 124;

    explicit QtDebugWindow(TForm1& form);
    ~QtDebugWindow() override;

    void ShowView() override;
    void HideView() override;
    void Refresh() override;
    void Detach() override { form_ = nullptr; }

    bool HasTrayIcon() const { return tray_ != nullptr; }
    QSystemTrayIcon* TrayIcon() const { return tray_; }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    QLabel* AddLabel(const char* name, const QString& text, int x, int y, int width);
    void SetLamp(TForm1::Lamp lamp);

    std::atomic<TForm1*> form_;
    QLabel* label2_ = nullptr;
    QLabel* label1_ = nullptr;
    QLabel* label8_ = nullptr;
    QLabel* label9_ = nullptr;
    QLabel* label6_ = nullptr;
    QWidget* shape1_ = nullptr;
    QPlainTextEdit* memo_ = nullptr;
    QSystemTrayIcon* tray_ = nullptr;
    TForm1::Lamp lamp_ = TForm1::Lamp::Green;
    std::size_t linesShown_ = 0;
    std::uint64_t listGeneration_ = 0;
};

}  // namespace tivlink
