#pragma once

#include <QPixmap>
#include <QWidget>
#include <filesystem>
#include <functional>

namespace tivmate::ui {

// A picture without a caption: the caption walk passes it by, so no dictionary text can wipe
// it (a QLabel's setText would drop its pixmap).
class PictureBox : public QWidget {
public:
    explicit PictureBox(const QString& name, QWidget* parent = nullptr);

    // Shows the picture in `file`; a file that does not load leaves the old picture, silently.
    bool Load(const std::filesystem::path& file);
    const QPixmap& Picture() const { return picture_; }
    // Called on a left click (the headline's logo).
    void OnClick(std::function<void()> f) { onClick_ = std::move(f); }

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent*) override;
    void mouseReleaseEvent(QMouseEvent* e) override;

private:
    QPixmap picture_;
    std::function<void()> onClick_;
};

}  // namespace tivmate::ui
