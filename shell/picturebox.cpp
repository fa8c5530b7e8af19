#include "shell/picturebox.h"

#include "core/inspector/inspector.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollArea>
#include <QScrollBar>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>
#include <iterator>

namespace ink {

namespace {

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

constexpr int kHintMargin = 12;

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
    m_zoom = std::min(m_zoom, largestZoom(image.width(), image.height()));
    resize(sizeHint());
    update();
}

QSize PictureBox::sizeHint() const {
    if (!hasPicture() && !m_hint.isEmpty())
        return fontMetrics().size(0, m_hint) + QSize(2 * kHintMargin, 2 * kHintMargin);
    return QSize(int(Width()) * m_zoom, int(Height()) * m_zoom);
}

void PictureBox::setHint(const QString &text) {
    if (text == m_hint)
        return;
    m_hint = text;
    if (!hasPicture())
        resize(sizeHint());
    update();
}

void PictureBox::paintHint(QPainter &painter) {
    const QRect visible = visibleRegion().boundingRect();
    const QRect box = QRect(visible.topLeft(), fontMetrics().size(0, m_hint))
                          .adjusted(0, 0, 2 * kHintMargin, 2 * kHintMargin);
    painter.fillRect(box, palette().window());
    painter.setPen(palette().windowText().color());
    painter.drawText(box, Qt::AlignCenter, m_hint);
}

void PictureBox::setZoom(int factor) {
    setZoom(factor, visibleMiddle());
}

int PictureBox::largestZoom(qint64 width, qint64 height) {
    const qint64 longest = std::max(width, height);
    for (auto factor = std::rbegin(kZoomFactors); factor != std::rend(kZoomFactors); ++factor) {
        if (longest * *factor <= QWIDGETSIZE_MAX)
            return *factor;
    }
    return 1;
}

void PictureBox::setZoom(int factor, QPointF anchor) {
    if (std::find(std::begin(kZoomFactors), std::end(kZoomFactors), factor) ==
        std::end(kZoomFactors))
        return;
    factor = std::min(factor, largestZoom(qint64(Width()), qint64(Height())));
    if (factor == m_zoom)
        return;
    // The scroll area holds this widget in its viewport.
    QScrollArea *view =
        parentWidget() ? qobject_cast<QScrollArea *>(parentWidget()->parentWidget()) : nullptr;
    const QPointF inViewport = view ? mapTo(view->viewport(), anchor) : anchor;
    const QPointF scaled = anchor * factor / m_zoom;
    m_zoom = factor;
    resize(sizeHint());
    update();
    if (view) {
        // The resize has already updated the scroll bars' ranges.
        view->horizontalScrollBar()->setValue(qRound(scaled.x() - inViewport.x()));
        view->verticalScrollBar()->setValue(qRound(scaled.y() - inViewport.y()));
    }
}

void PictureBox::stepZoom(int steps, QPointF anchor) {
    const auto current = std::find(std::begin(kZoomFactors), std::end(kZoomFactors), m_zoom);
    const auto last = std::ssize(kZoomFactors) - 1;
    const auto index =
        std::clamp<std::ptrdiff_t>(current - std::begin(kZoomFactors) + steps, 0, last);
    setZoom(kZoomFactors[index], anchor);
}

QPointF PictureBox::visibleMiddle() const {
    const QRect visible = visibleRegion().boundingRect();
    return QRectF(visible.isEmpty() ? rect() : visible).center();
}

QRect PictureBox::zoomedRect(const QRect &imageRect) const {
    return QRect(imageRect.topLeft() * m_zoom, imageRect.size() * m_zoom);
}

QPointF PictureBox::imagePosition(QPointF widgetPosition) const {
    if (m_zoom == 1)
        return widgetPosition;
    return QPointF(std::floor(widgetPosition.x() / m_zoom),
                   std::floor(widgetPosition.y() / m_zoom));
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
    repaint(zoomedRect(damaged));
}

void PictureBox::paintEvent(QPaintEvent *event) {
    QPainter painter(this);
    const QRect rect = event->rect();
    if (!hasPicture()) {
        painter.fillRect(rect, palette().window());
        if (!m_hint.isEmpty())
            paintHint(painter);
        return;
    }
    if (m_zoom == 1) {
        painter.drawImage(rect, pixels(), rect);
        if (!m_hint.isEmpty())
            paintHint(painter);
        return;
    }
    // The image pixels the rectangle touches, each scaled to a whole square
    // with no smoothing.
    const QRect source(QPoint(rect.left() / m_zoom, rect.top() / m_zoom),
                       QPoint(rect.right() / m_zoom, rect.bottom() / m_zoom));
    painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
    painter.drawImage(zoomedRect(source), pixels(), source);
    if (!m_hint.isEmpty())
        paintHint(painter);
}

void PictureBox::keyPressEvent(QKeyEvent *event) {
    if (event->modifiers() & Qt::ControlModifier) {
        switch (event->key()) {
            case Qt::Key_Plus:
            case Qt::Key_Equal:  // "+" without Shift on many keyboards
                stepZoom(1, visibleMiddle());
                break;
            case Qt::Key_Minus:
                stepZoom(-1, visibleMiddle());
                break;
            case Qt::Key_0:
                setZoom(1);
                break;
            default:
                break;
        }
    }
    // Every key, the zoom keys included, reaches the key-down handler.
    emit keyDown(classicKeyCode(event->key(), event->modifiers()), shiftState(event->modifiers()));
    event->accept();
}

void PictureBox::mouseMoveEvent(QMouseEvent *event) {
    // The hint alone has no pixels to inspect.
    if (!hasPicture())
        return;
    const QPointF pos = imagePosition(event->position());
    emit mouseMove(buttonState(event->buttons()), shiftState(event->modifiers()), float(pos.x()),
                   float(pos.y()));
}

void PictureBox::wheelEvent(QWheelEvent *event) {
    if (!(event->modifiers() & Qt::ControlModifier)) {
        event->ignore();  // the scroll area scrolls
        return;
    }
    // Fine-grained wheels and touchpads send parts of a notch: zoom one step
    // per whole notch of 120.
    m_wheelDelta += event->angleDelta().y();
    const int steps = m_wheelDelta / 120;
    m_wheelDelta -= steps * 120;
    if (steps != 0)
        stepZoom(steps, event->position());
    event->accept();
}

}  // namespace ink
