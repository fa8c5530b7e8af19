#include "platform/picturebox.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>

namespace ink {

namespace {

int classicKeyCode(int qtKey) {
    switch (qtKey) {
        case Qt::Key_Left:
            return PictureBox::KeyLeft;
        case Qt::Key_Up:
            return PictureBox::KeyUp;
        case Qt::Key_Right:
            return PictureBox::KeyRight;
        case Qt::Key_Down:
            return PictureBox::KeyDown;
        default:
            return qtKey & 0xFFFF;
    }
}

int shiftState(Qt::KeyboardModifiers modifiers) {
    int state = 0;
    if (modifiers & Qt::ShiftModifier)
        state |= 1;
    if (modifiers & Qt::ControlModifier)
        state |= 2;
    if (modifiers & Qt::AltModifier)
        state |= 4;
    return state;
}

int buttonState(Qt::MouseButtons buttons) {
    int state = 0;
    if (buttons & Qt::LeftButton)
        state |= 1;
    if (buttons & Qt::RightButton)
        state |= 2;
    if (buttons & Qt::MiddleButton)
        state |= 4;
    return state;
}

}  // namespace

PictureBox::PictureBox(QWidget *parent) : QWidget(parent) {
    setFocusPolicy(Qt::StrongFocus);
    setMouseTracking(true);
    setAttribute(Qt::WA_OpaquePaintEvent);
    resize(0, 0);
}

void PictureBox::setPicture(const QImage &image) {
    setImage(image);
    m_damaged = QRect();
    resize(int(Width()), int(Height()));
    update();
}

QSize PictureBox::sizeHint() const {
    return QSize(int(Width()), int(Height()));
}

void PictureBox::PSet(qint64 x, qint64 y, ColorValue color) {
    if (!onSurface(x, y))
        return;
    ImageSurface::PSet(x, y, color);
    m_damaged |= QRect(int(x), int(y), 1, 1);
}

void PictureBox::Refresh() {
    if (m_damaged.isEmpty())
        return;
    const QRect damaged = m_damaged;
    m_damaged = QRect();
    repaint(damaged);
}

void PictureBox::paintEvent(QPaintEvent *event) {
    QPainter painter(this);
    const QRect rect = event->rect();
    painter.drawImage(rect, image(), rect);
}

void PictureBox::keyPressEvent(QKeyEvent *event) {
    emit keyDown(classicKeyCode(event->key()), shiftState(event->modifiers()));
    event->accept();
}

void PictureBox::mouseMoveEvent(QMouseEvent *event) {
    const QPointF pos = event->position();
    emit mouseMove(buttonState(event->buttons()), shiftState(event->modifiers()), float(pos.x()),
                   float(pos.y()));
}

}  // namespace ink
