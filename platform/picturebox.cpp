#include "platform/picturebox.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>

#include <algorithm>

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
    m_damagedRight = m_damagedBottom = -1;
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
    if (m_damagedRight < m_damagedLeft) {
        m_damagedLeft = m_damagedRight = int(x);
        m_damagedTop = m_damagedBottom = int(y);
        return;
    }
    m_damagedLeft = std::min(m_damagedLeft, int(x));
    m_damagedRight = std::max(m_damagedRight, int(x));
    m_damagedTop = std::min(m_damagedTop, int(y));
    m_damagedBottom = std::max(m_damagedBottom, int(y));
}

void PictureBox::Refresh() {
    if (m_damagedRight < m_damagedLeft)
        return;
    const QRect damaged(QPoint(m_damagedLeft, m_damagedTop),
                        QPoint(m_damagedRight, m_damagedBottom));
    m_damagedRight = m_damagedBottom = -1;
    repaint(damaged);
}

void PictureBox::paintEvent(QPaintEvent *event) {
    QPainter painter(this);
    const QRect rect = event->rect();
    painter.drawImage(rect, pixels(), rect);
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
