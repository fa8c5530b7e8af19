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
#include <new>
#include <vector>

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
    m_comparing = false;
    m_loaded = m_loadedReduced = QImage();
    m_changes.reset();
    m_changesReduced = QImage();
    m_damagedRight = m_damagedBottom = -1;
    m_level = levelAllowed(m_level);
    if (!buildReduced(reduction()))  // no memory for it: show the picture as it is
        m_level = kUnitLevel;
    resize(sizeHint());
    update();
}

QSize PictureBox::viewSize(const Level &level) const {
    const qint64 w = qint64(Width()), h = qint64(Height());
    if (level.divisor > 1)
        return QSize(int((w + level.divisor - 1) / level.divisor),
                     int((h + level.divisor - 1) / level.divisor));
    return QSize(int(w * level.factor), int(h * level.factor));
}

QSize PictureBox::sizeHint() const {
    if (!hasPicture() && !m_hint.isEmpty())
        return fontMetrics().size(0, m_hint) + QSize(2 * kHintMargin, 2 * kHintMargin);
    return viewSize(level());
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

int PictureBox::largestZoom(qint64 width, qint64 height) {
    const qint64 longest = std::max(width, height);
    for (auto factor = std::rbegin(kZoomFactors); factor != std::rend(kZoomFactors); ++factor) {
        if (longest * *factor <= QWIDGETSIZE_MAX)
            return *factor;
    }
    return 1;
}

int PictureBox::levelAllowed(int index) const {
    const int largest = largestZoom(qint64(Width()), qint64(Height()));
    while (index > kUnitLevel && kLevels[index].factor > largest)
        --index;
    return index;
}

void PictureBox::setZoom(int factor) {
    setZoom(factor, visibleMiddle());
}

void PictureBox::setZoom(int factor, QPointF anchor) {
    for (int i = kUnitLevel; i < int(std::size(kLevels)); ++i) {
        if (kLevels[i].factor == factor)
            setLevel(i, anchor);
    }
}

void PictureBox::setReduction(int divisor) {
    setReduction(divisor, visibleMiddle());
}

void PictureBox::setReduction(int divisor, QPointF anchor) {
    for (int i = 0; i < kUnitLevel; ++i) {
        if (kLevels[i].divisor == divisor)
            setLevel(i, anchor);
    }
}

void PictureBox::fitToView() {
    QScrollArea *view =
        parentWidget() ? qobject_cast<QScrollArea *>(parentWidget()->parentWidget()) : nullptr;
    if (!view || Width() <= 0 || Height() <= 0)
        return;
    // The viewport's size with no scroll bars: a picture that fits needs none.
    const QSize room = view->maximumViewportSize();
    int index = levelAllowed(int(std::size(kLevels)) - 1);
    while (index > 0) {
        const QSize size = viewSize(kLevels[index]);
        if (size.width() <= room.width() && size.height() <= room.height())
            break;
        --index;
    }
    setLevel(index, visibleMiddle());
}

void PictureBox::setLevel(int index, QPointF anchor) {
    index = levelAllowed(index);
    if (index == m_level)
        return;
    const Level &next = kLevels[index];
    if (!buildReduced(next.divisor))
        return;  // no memory for the reduced view: keep the current one
    // The scroll area holds this widget in its viewport.
    QScrollArea *view =
        parentWidget() ? qobject_cast<QScrollArea *>(parentWidget()->parentWidget()) : nullptr;
    const QPointF inViewport = view ? mapTo(view->viewport(), anchor) : anchor;
    const auto scale = [](const Level &l) { return double(l.factor) / l.divisor; };
    const QPointF scaled = anchor * (scale(next) / scale(level()));
    m_level = index;
    resize(sizeHint());
    update();
    if (view) {
        // The resize has already updated the scroll bars' ranges.
        view->horizontalScrollBar()->setValue(qRound(scaled.x() - inViewport.x()));
        view->verticalScrollBar()->setValue(qRound(scaled.y() - inViewport.y()));
    }
}

void PictureBox::stepZoom(int steps, QPointF anchor) {
    const int last = int(std::size(kLevels)) - 1;
    setLevel(std::clamp(m_level + steps, 0, last), anchor);
}

QPointF PictureBox::visibleMiddle() const {
    const QRect visible = visibleRegion().boundingRect();
    return QRectF(visible.isEmpty() ? rect() : visible).center();
}

QRect PictureBox::zoomedRect(const QRect &imageRect) const {
    if (reduction() == 1)
        return QRect(imageRect.topLeft() * zoom(), imageRect.size() * zoom());
    if (imageRect.isEmpty())
        return QRect();
    const auto down = [n = reduction()](int v) { return v >= 0 ? v / n : -((-v + n - 1) / n); };
    return QRect(QPoint(down(imageRect.left()), down(imageRect.top())),
                 QPoint(down(imageRect.right()), down(imageRect.bottom())));
}

QPointF PictureBox::imagePosition(QPointF widgetPosition) const {
    if (zoom() == 1 && reduction() == 1)
        return widgetPosition;
    if (zoom() > 1)
        return QPointF(std::floor(widgetPosition.x() / zoom()),
                       std::floor(widgetPosition.y() / zoom()));
    // Over the widget's last column or row the pixels beyond the picture's
    // edge are no pixels at all: the pointer stays on the picture's last one.
    const int n = reduction();
    const auto map = [n](double position, int shown, float size) {
        const double pixel = std::floor(position * n);
        return position >= 0 && position < shown ? std::min(pixel, double(size) - 1) : pixel;
    };
    return QPointF(map(widgetPosition.x(), width(), Width()),
                   map(widgetPosition.y(), height(), Height()));
}

namespace {

// Writes into `to` the mean of each divisor x divisor block of `from` in the
// block columns [bx0, bx1] and rows [by0, by1]. Sums a block row at a time,
// reading the source row by row.
void averageBlocks(const QImage &from, QImage &to, int n, int bx0, int bx1, int by0, int by1) {
    const int width = from.width(), height = from.height();
    std::vector<quint32> sums(size_t(bx1 - bx0 + 1) * 3);
    for (int by = by0; by <= by1; ++by) {
        std::fill(sums.begin(), sums.end(), 0);
        const int y0 = by * n, y1 = std::min(y0 + n, height);
        for (int y = y0; y < y1; ++y) {
            const QRgb *line = reinterpret_cast<const QRgb *>(from.constScanLine(y));
            quint32 *sum = sums.data();
            for (int bx = bx0; bx <= bx1; ++bx, sum += 3) {
                const int x1 = std::min(bx * n + n, width);
                for (int x = bx * n; x < x1; ++x) {
                    const QRgb p = line[x];
                    sum[0] += qRed(p);
                    sum[1] += qGreen(p);
                    sum[2] += qBlue(p);
                }
            }
        }
        QRgb *out = reinterpret_cast<QRgb *>(to.scanLine(by));
        const quint32 rows = quint32(y1 - y0);
        const quint32 *sum = sums.data();
        for (int bx = bx0; bx <= bx1; ++bx, sum += 3) {
            const quint32 count = rows * quint32(std::min(bx * n + n, width) - bx * n);
            const auto mean = [count](quint32 s) { return int((s + count / 2) / count); };
            out[bx] = qRgb(mean(sum[0]), mean(sum[1]), mean(sum[2]));
        }
    }
}

}  // namespace

QImage PictureBox::reduce(const QImage &image, int divisor) {
    if (image.isNull() || divisor < 1)
        return QImage();
    const QImage source =
        image.format() == QImage::Format_RGB32 || image.format() == QImage::Format_ARGB32
            ? image
            : image.convertToFormat(QImage::Format_RGB32);
    QImage reduced((image.width() + divisor - 1) / divisor,
                   (image.height() + divisor - 1) / divisor, QImage::Format_RGB32);
    if (reduced.isNull())
        return reduced;
    averageBlocks(source, reduced, divisor, 0, reduced.width() - 1, 0, reduced.height() - 1);
    return reduced;
}

bool PictureBox::buildReduced(int divisor) {
    if (divisor <= 1 || pixels().isNull()) {
        m_divisor = 1;
        m_reduced = QImage();
        m_blockSums = {};
        m_blockOfRow = {};
        m_sumsOfColumn = {};
        return true;
    }
    const QImage &from = pixels();
    const int width = from.width(), height = from.height();
    QImage reduced((width + divisor - 1) / divisor, (height + divisor - 1) / divisor,
                   QImage::Format_RGB32);
    if (reduced.isNull())
        return false;
    const size_t blockRows = size_t(reduced.height());
    std::vector<quint16> sums, rowSums;
    std::vector<int> blockOfRow;
    std::vector<size_t> sumsOfColumn;
    try {
        sums.resize(size_t(reduced.width()) * blockRows * 3);
        rowSums.resize(size_t(reduced.width()) * 3);
        blockOfRow.resize(size_t(height));
        sumsOfColumn.resize(size_t(width));
    } catch (const std::bad_alloc &) {
        return false;
    }
    for (int y = 0; y < height; ++y)
        blockOfRow[size_t(y)] = y / divisor;
    for (int x = 0; x < width; ++x)
        sumsOfColumn[size_t(x)] = size_t(x / divisor) * blockRows * 3;
    // A block row at a time, reading the picture row by row.
    for (size_t by = 0; by < blockRows; ++by) {
        std::fill(rowSums.begin(), rowSums.end(), 0);
        const int y0 = int(by) * divisor, y1 = std::min(y0 + divisor, height);
        for (int y = y0; y < y1; ++y) {
            const QRgb *line = reinterpret_cast<const QRgb *>(from.constScanLine(y));
            for (int x = 0; x < width; ++x) {
                quint16 *sum = &rowSums[size_t(x / divisor) * 3];
                sum[0] += quint16(qRed(line[x]));
                sum[1] += quint16(qGreen(line[x]));
                sum[2] += quint16(qBlue(line[x]));
            }
        }
        for (int bx = 0; bx < reduced.width(); ++bx)
            std::copy_n(&rowSums[size_t(bx) * 3], 3, &sums[(size_t(bx) * blockRows + by) * 3]);
    }
    m_divisor = divisor;
    m_reduced = std::move(reduced);
    m_blockSums = std::move(sums);
    m_blockOfRow = std::move(blockOfRow);
    m_sumsOfColumn = std::move(sumsOfColumn);
    reduceInto(QRect(0, 0, width, height));
    return true;
}

void PictureBox::reduceInto(const QRect &imageRect) {
    const QRect blocks = zoomedRect(imageRect) & m_reduced.rect();
    const int n = m_divisor, width = int(Width()), height = int(Height());
    const size_t blockRows = size_t(m_reduced.height());
    for (int by = blocks.top(); by <= blocks.bottom(); ++by) {
        QRgb *out = reinterpret_cast<QRgb *>(m_reduced.scanLine(by));
        const int rows = std::min(n, height - by * n);
        for (int bx = blocks.left(); bx <= blocks.right(); ++bx) {
            const quint16 *sum = &m_blockSums[(size_t(bx) * blockRows + size_t(by)) * 3];
            const quint32 count = quint32(rows * std::min(n, width - bx * n));
            const auto mean = [count](quint32 s) { return int((s + count / 2) / count); };
            out[bx] = qRgb(mean(sum[0]), mean(sum[1]), mean(sum[2]));
        }
    }
}

void PictureBox::PSet(qint64 x, qint64 y, ColorValue color) {
    if (!onSurface(x, y))
        return;
    if (m_divisor > 1) {
        // Keep the block's sums exact: take the old pixel out, put the new
        // one in (each sum stays within 16 x 16 x 255, so 16 bits hold it).
        const ColorValue old = Point(x, y);
        quint16 *sum =
            &m_blockSums[m_sumsOfColumn[size_t(x)] + size_t(m_blockOfRow[size_t(y)]) * 3];
        for (int k = 0; k < 3; ++k)
            sum[k] = quint16(sum[k] + ((color >> (8 * k)) & 0xFF) - ((old >> (8 * k)) & 0xFF));
    }
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

void PictureBox::PSetRow(qint64 x, qint64 y, const ColorValue *colors, qint64 count) {
    // A reduced view's block sums follow every pixel, as PSet keeps them.
    if (m_divisor > 1) {
        PixelSurface::PSetRow(x, y, colors, count);
        return;
    }
    qint64 first = -1, last = -1;
    for (qint64 i = std::max<qint64>(0, -x); i < count && onSurface(x + i, y); ++i) {
        if (colors[i] == kNoPixel)
            continue;
        first = first < 0 ? i : first;
        last = i;
    }
    if (first < 0)
        return;
    ImageSurface::PSetRow(x, y, colors, count);
    // The damaged area grows as PSet at the row's first and last pixel would.
    PSet(x + first, y, colors[first]);
    PSet(x + last, y, colors[last]);
}

void PictureBox::Refresh() {
    if (m_damagedRight < m_damagedLeft)
        return;
    const QRect damaged(QPoint(m_damagedLeft, m_damagedTop),
                        QPoint(m_damagedRight, m_damagedBottom));
    m_damagedRight = m_damagedBottom = -1;
    if (reduction() > 1)
        reduceInto(damaged);
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
    const bool compare = m_comparing && m_loaded.size() == pixels().size();
    if (reduction() > 1) {
        if (compare && m_loadedDivisor != reduction()) {
            m_loadedReduced = reduce(m_loaded, reduction());
            m_loadedDivisor = reduction();
        }
        const QImage &shown = compare && !m_loadedReduced.isNull() ? m_loadedReduced : m_reduced;
        painter.drawImage(rect, shown, rect);
        if (!compare)
            paintChanges(painter, rect, rect);
        return;
    }
    const QImage &shown = compare ? m_loaded : pixels();
    // The image pixels the rectangle touches, each scaled to a whole square
    // with no smoothing.
    const QRect source(QPoint(rect.left() / zoom(), rect.top() / zoom()),
                       QPoint(rect.right() / zoom(), rect.bottom() / zoom()));
    painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
    painter.drawImage(zoomedRect(source), shown, source);
    if (!compare)
        paintChanges(painter, source, zoomedRect(source));
    if (!m_hint.isEmpty())
        paintHint(painter);
}

void PictureBox::paintChanges(QPainter &painter, const QRect &source, const QRect &target) {
    if (!m_showChanges || !m_changes)
        return;
    if (reduction() > 1) {
        if (m_changesDivisor != reduction() || m_changesReduced.isNull()) {
            const int n = reduction();
            QImage overlay(m_reduced.size(), QImage::Format_ARGB32_Premultiplied);
            if (overlay.isNull())
                return;
            overlay.fill(Qt::transparent);
            const auto mark = [&](QRgb color, bool keep) {
                return [&overlay, n, color, keep](qint32 x, qint32 y) {
                    QRgb &p = reinterpret_cast<QRgb *>(overlay.scanLine(y / n))[x / n];
                    if (!keep || p == 0)
                        p = color;
                };
            };
            m_changes->filledCells.forEachIn(QRect(0, 0, int(Width()), int(Height())),
                                             mark(kFilledColor, true));
            m_changes->erasedCells.forEachIn(QRect(0, 0, int(Width()), int(Height())),
                                             mark(kErasedColor, false));
            m_changesReduced = std::move(overlay);
            m_changesDivisor = n;
        }
        painter.drawImage(target, m_changesReduced, source);
        return;
    }
    // Only the cells in sight are drawn, into a transparent image of their size.
    QImage overlay(source.size(), QImage::Format_ARGB32_Premultiplied);
    if (overlay.isNull())
        return;
    overlay.fill(Qt::transparent);
    const auto mark = [&](QRgb color) {
        return [&overlay, &source, color](qint32 x, qint32 y) {
            reinterpret_cast<QRgb *>(overlay.scanLine(y - source.top()))[x - source.left()] = color;
        };
    };
    m_changes->filledCells.forEachIn(source, mark(kFilledColor));
    m_changes->erasedCells.forEachIn(source, mark(kErasedColor));
    painter.drawImage(target, overlay);
}

void PictureBox::setLoadedPicture(const QImage &loaded) {
    m_loaded = loaded;
    m_loadedReduced = QImage();
    m_loadedDivisor = 1;
    if (m_comparing)
        update();
}

void PictureBox::setComparing(bool on) {
    if (on == m_comparing)
        return;
    m_comparing = on;
    update();
}

void PictureBox::setChanges(std::shared_ptr<const PassChanges> changes) {
    if (changes == m_changes)
        return;
    m_changes = std::move(changes);
    m_changesReduced = QImage();
    if (m_showChanges)
        update();
}

void PictureBox::setShowChanges(bool on) {
    if (on == m_showChanges)
        return;
    m_showChanges = on;
    update();
}

void PictureBox::keyReleaseEvent(QKeyEvent *event) {
    if (event->key() == Qt::Key_Backslash && !event->isAutoRepeat())
        setComparing(false);
    QWidget::keyReleaseEvent(event);
}

void PictureBox::focusOutEvent(QFocusEvent *event) {
    // The release of a key held while the focus leaves never comes here.
    setComparing(false);
    QWidget::focusOutEvent(event);
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
            case Qt::Key_9:
                fitToView();
                break;
            default:
                break;
        }
    }
    if (!(event->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier))) {
        if (event->key() == Qt::Key_Backslash)
            setComparing(true);
        else if (event->key() == Qt::Key_C && !event->isAutoRepeat())
            setShowChanges(!m_showChanges);
    }
    // Every key, the zoom and view keys included, reaches the key-down handler.
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

void PictureBox::mousePressEvent(QMouseEvent *event) {
    if (hasPicture() && event->button() == Qt::LeftButton &&
        (event->modifiers() & Qt::ControlModifier)) {
        const QPointF pos = imagePosition(event->position());
        emit pick(shiftState(event->modifiers()), float(pos.x()), float(pos.y()));
        event->accept();
        return;
    }
    QWidget::mousePressEvent(event);
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
