#include "ui/PictureBox.h"

#include <QMouseEvent>
#include <QPainter>

namespace tivmate::ui {

PictureBox::PictureBox(const QString& name, QWidget* parent) : QWidget(parent) {
    setObjectName(name);
}

bool PictureBox::Load(const std::filesystem::path& file) {
    QPixmap loaded;
    if (!loaded.load(QString::fromStdString(file.string()))) return false;
    picture_ = loaded;
    setFixedSize(picture_.size());
    updateGeometry();
    update();
    return true;
}

QSize PictureBox::sizeHint() const {
    return picture_.isNull() ? QSize(0, 0) : picture_.size();
}

void PictureBox::paintEvent(QPaintEvent*) {
    if (picture_.isNull()) return;
    QPainter(this).drawPixmap(0, 0, picture_);
}

void PictureBox::mouseReleaseEvent(QMouseEvent* e) {
    if (onClick_ && e->button() == Qt::LeftButton && rect().contains(e->position().toPoint()))
        onClick_();
    QWidget::mouseReleaseEvent(e);
}

}  // namespace tivmate::ui
