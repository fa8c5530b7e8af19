// The picture box: a view of the sheet (see picturebox.h for what it shows).
//
// Read in this order: the zoom levels and the conversions between widget
// and image positions; composing (composed() at zoom 1 and above,
// reduceBlocks() for the reduced views, tiles() for the reduced views kept);
// refreshing after a column, a change or a pixel; painting, with the changes
// overlay; then Compare and the key, mouse and wheel handlers. Nothing here
// writes the sheet.

#include "shell/picturebox.h"

#include "core/inspector/inspector.h"
#include "shell/thresholdpreview.h"

#include <QCursor>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollArea>
#include <QScrollBar>
#include <QTimer>
#include <QWheelEvent>

#include <algorithm>
#include <bit>
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
// The time a paint spends on preview tiles before it draws what it has.
constexpr int kPreviewSliceMs = 60;

}  // namespace

PictureBox::PictureBox(QWidget *parent) : QWidget(parent) {
    setFocusPolicy(Qt::StrongFocus);
    setMouseTracking(true);
    setAttribute(Qt::WA_OpaquePaintEvent);
    resize(0, 0);
    m_previewMore = new QTimer(this);
    m_previewMore->setSingleShot(true);
    m_previewMore->setInterval(0);
    connect(m_previewMore, &QTimer::timeout, this, qOverload<>(&QWidget::update));
}

void PictureBox::setSheet(const Sheet *sheet) {
    m_sheet = sheet;
    m_comparing = false;
    m_changes.reset();
    setPreview(nullptr, {});
    dropTiles();
    m_level = levelAllowed(m_level);
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

void PictureBox::setPreview(std::shared_ptr<ThresholdPreview> preview, const QString &caption) {
    if (!preview && !m_preview)
        return;
    m_preview = std::move(preview);
    m_previewCaption = caption;
    // The caption stays at the visible corner: scrolling moves no pixels of it.
    for (const QMetaObject::Connection &c : std::as_const(m_previewScrolls))
        disconnect(c);
    m_previewScrolls.clear();
    QScrollArea *view =
        parentWidget() ? qobject_cast<QScrollArea *>(parentWidget()->parentWidget()) : nullptr;
    if (m_preview && view)
        for (QScrollBar *bar : {view->horizontalScrollBar(), view->verticalScrollBar()})
            m_previewScrolls << connect(bar, &QScrollBar::valueChanged, this,
                                        qOverload<>(&QWidget::update));
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
    // The scroll area holds this widget in its viewport.
    QScrollArea *view =
        parentWidget() ? qobject_cast<QScrollArea *>(parentWidget()->parentWidget()) : nullptr;
    const QPointF inViewport = view ? mapTo(view->viewport(), anchor) : anchor;
    const auto scale = [](const Level &l) { return double(l.factor) / l.divisor; };
    const QPointF scaled = anchor * (scale(next) / scale(level()));
    m_level = index;
    resize(sizeHint());
    update();
    emit viewChanged();
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

void PictureBox::dropTiles() {
    for (Tiles &t : m_tiles)
        t = Tiles();
    m_tilesDivisor = 0;
}

QImage PictureBox::composed(const QRect &source, bool scan) const {
    QImage out(source.size(), QImage::Format_RGB32);
    if (out.isNull())
        return out;
    for (int y = source.top(); y <= source.bottom(); ++y) {
        QRgb *line = reinterpret_cast<QRgb *>(out.scanLine(y - source.top()));
        if (scan)
            std::copy_n(m_sheet->originalRow(y) + source.left(), source.width(), line);
        else
            m_sheet->composeRow(y, source.left(), source.width(), line);
    }
    return out;
}

void PictureBox::reduceBlocks(const QRect &blocks, bool scan, QImage &out, QPoint at) const {
    const int n = reduction(), width = m_sheet->width(), height = m_sheet->height();
    const int x0 = blocks.left() * n, x1 = std::min((blocks.right() + 1) * n, width) - 1;
    if (x1 < x0)
        return;
    const int lastBlock = std::min(blocks.right(), (width - 1) / n);
    const PackedMask &painted = m_sheet->painted(), &black = m_sheet->black();
    std::vector<QRgb> row(size_t(x1 - x0 + 1));
    std::vector<quint32> sums(size_t(blocks.width()) * 3);
    // Per block of the row of blocks: all its pixels painted (NB's black and
    // white), so that its mean comes from the planes' bits alone.
    std::vector<quint8> plain(size_t(blocks.width()));
    std::vector<quint32> whites(size_t(blocks.width()));
    for (int by = blocks.top(); by <= blocks.bottom(); ++by) {
        const int y0 = by * n, y1 = std::min(y0 + n, height);
        if (y0 >= height)
            break;
        const qint32 k0 = y0 / PackedMask::kBits, k1 = (y1 - 1) / PackedMask::kBits;
        bool anyScan = scan;
        for (int bx = blocks.left(); bx <= lastBlock && !scan; ++bx) {
            quint32 unpainted = 0, white = 0;
            for (int x = bx * n; x < std::min(bx * n + n, width); ++x) {
                const quint64 *p = painted.column(x), *b = black.column(x);
                for (qint32 k = k0; k <= k1; ++k) {
                    const quint64 rows = PackedMask::rowBits(k, y0, y1 - 1);
                    unpainted += quint32(std::popcount(rows & ~p[k]));
                    white += quint32(std::popcount(rows & p[k] & ~b[k]));
                }
            }
            const size_t i = size_t(bx - blocks.left());
            plain[i] = unpainted == 0;
            whites[i] = white;
            anyScan = anyScan || unpainted != 0;
        }
        if (anyScan) {
            std::fill(sums.begin(), sums.end(), 0);
            // Runs of blocks that are not all painted, each composed alone.
            for (int first = blocks.left(); first <= lastBlock;) {
                if (!scan && plain[size_t(first - blocks.left())]) {
                    ++first;
                    continue;
                }
                int last = first;
                while (last < lastBlock && (scan || !plain[size_t(last + 1 - blocks.left())]))
                    ++last;
                const int from = first * n, to = std::min(last * n + n, width);
                for (int y = y0; y < y1; ++y) {
                    const QRgb *line = m_sheet->originalRow(y) + from;
                    if (!scan) {
                        m_sheet->composeRow(y, from, to - from, row.data());
                        line = row.data();
                    }
                    for (int bx = first; bx <= last; ++bx) {
                        quint32 *sum = &sums[size_t(bx - blocks.left()) * 3];
                        const int end = std::min(bx * n + n, width);
                        for (int x = bx * n; x < end; ++x) {
                            const QRgb p = line[x - from];
                            sum[0] += quint32(qRed(p));
                            sum[1] += quint32(qGreen(p));
                            sum[2] += quint32(qBlue(p));
                        }
                    }
                }
                first = last + 1;
            }
        }
        QRgb *to = reinterpret_cast<QRgb *>(out.scanLine(at.y() + by - blocks.top())) + at.x();
        for (int bx = blocks.left(); bx <= lastBlock; ++bx) {
            const size_t i = size_t(bx - blocks.left());
            const quint32 count = quint32(y1 - y0) * quint32(std::min(bx * n + n, width) - bx * n);
            const auto mean = [count](quint32 v) { return int((v + count / 2) / count); };
            if (!scan && plain[i]) {
                const int grey = mean(whites[i] * 255u);
                to[i] = qRgb(grey, grey, grey);
            } else {
                const quint32 *sum = &sums[i * 3];
                to[i] = qRgb(mean(sum[0]), mean(sum[1]), mean(sum[2]));
            }
        }
    }
}

const QImage *PictureBox::tiles(const QRect &rect, bool scan) {
    const QSize size = viewSize(level());
    if (qint64(size.width()) * size.height() > kTiledPixels || reduction() < 4)
        return nullptr;
    if (m_tilesDivisor != reduction()) {
        dropTiles();
        m_tilesDivisor = reduction();
    }
    Tiles &t = m_tiles[scan ? 1 : 0];
    if (t.image.isNull()) {
        t.image = QImage(size, QImage::Format_RGB32);
        if (t.image.isNull())
            return nullptr;
        t.columns = (size.width() + kTile - 1) / kTile;
        t.made.assign(size_t(t.columns) * size_t((size.height() + kTile - 1) / kTile), 0);
    }
    const QRect area = rect & t.image.rect();
    for (int ty = area.top() / kTile; ty <= area.bottom() / kTile; ++ty) {
        for (int tx = area.left() / kTile; tx <= area.right() / kTile; ++tx) {
            quint8 &made = t.made[size_t(ty) * size_t(t.columns) + size_t(tx)];
            if (made)
                continue;
            const QRect tile = QRect(tx * kTile, ty * kTile, kTile, kTile) & t.image.rect();
            reduceBlocks(tile, scan, t.image, tile.topLeft());
            made = 1;
        }
    }
    return &t.image;
}

void PictureBox::refreshColumns(qint32 first, qint32 last) {
    if (!hasPicture())
        return;
    first = std::max(first, 0);
    last = std::min(last, qint32(Width()) - 1);
    if (last < first)
        return;
    const QRect columns = zoomedRect(QRect(first, 0, last - first + 1, int(Height())));
    // Kept tiles in these screen columns are brought up to date where they
    // are in sight; those out of sight are only marked to be made again when
    // they are shown, so a pass reads no more of the picture for them than
    // the view shows.
    if (m_tilesDivisor == reduction() && !m_tiles[0].image.isNull()) {
        Tiles &t = m_tiles[0];
        const QRect visible = visibleRegion().boundingRect();
        const int rows = int(t.made.size()) / t.columns;
        for (int tx = columns.left() / kTile; tx <= columns.right() / kTile && tx < t.columns; ++tx)
            for (int ty = 0; ty < rows; ++ty) {
                quint8 &made = t.made[size_t(ty) * size_t(t.columns) + size_t(tx)];
                if (!made)
                    continue;
                const QRect tile(tx * kTile, ty * kTile, kTile, kTile);
                if (!tile.intersects(visible)) {
                    made = 0;
                    continue;
                }
                const QRect part = tile & columns & t.image.rect();
                reduceBlocks(part, false, t.image, part.topLeft());
            }
    }
    repaint(columns);
}

void PictureBox::refreshPixel(qint32 x, qint32 y) {
    if (!onSurface(x, y))
        return;
    const QRect shown = zoomedRect(QRect(x, y, 1, 1));
    if (m_tilesDivisor == reduction() && !m_tiles[0].image.isNull())
        reduceBlocks(shown, false, m_tiles[0].image, shown.topLeft());
    update(shown);
}

void PictureBox::refreshColumn(qint32 x, bool now) {
    // Reduced, a screen column shows n image columns: it is made once, when
    // the last of them is done.
    const int n = reduction();
    if (n > 1 && !now && (x + 1) % n != 0 && x + 1 < qint32(Width()))
        return;
    refreshColumns(x - x % n, x);
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
    const bool compare = m_comparing;
    if (reduction() > 1) {
        const QRect shown = rect & QRect(QPoint(0, 0), viewSize(level()));
        if (const QImage *kept = tiles(shown, compare)) {
            painter.drawImage(shown, *kept, shown);
        } else {
            QImage part(shown.size(), QImage::Format_RGB32);
            if (!part.isNull()) {
                reduceBlocks(shown, compare, part, QPoint(0, 0));
                painter.drawImage(shown.topLeft(), part);
            }
        }
        if (!compare)
            paintChanges(painter, shown, shown);
        paintPreview(painter, shown, shown);
        paintMarker(painter);
        if (!m_hint.isEmpty())
            paintHint(painter);
        return;
    }
    // The image pixels the rectangle touches, each scaled to a whole square
    // with no smoothing.
    const QRect source = QRect(QPoint(rect.left() / zoom(), rect.top() / zoom()),
                               QPoint(rect.right() / zoom(), rect.bottom() / zoom())) &
                         QRect(0, 0, int(Width()), int(Height()));
    if (source.isEmpty())
        return;
    painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
    painter.drawImage(zoomedRect(source), composed(source, compare));
    if (!compare)
        paintChanges(painter, source, zoomedRect(source));
    paintPreview(painter, source, zoomedRect(source));
    paintMarker(painter);
    if (!m_hint.isEmpty())
        paintHint(painter);
}

void PictureBox::paintChanges(QPainter &painter, const QRect &source, const QRect &target) {
    if (!m_showChanges || !m_changes)
        return;
    // Only the cells in sight are drawn, into a transparent image of the
    // screen pixels or image pixels shown; erased after filled, so that a
    // reduced pixel covering both shows the erased colour.
    const int n = reduction();
    const QRect cells = n > 1 ? QRect(source.topLeft() * n, source.size() * n) : source;
    QImage overlay(source.size(), QImage::Format_ARGB32_Premultiplied);
    if (overlay.isNull())
        return;
    overlay.fill(Qt::transparent);
    const auto mark = [&](QRgb color) {
        return [&overlay, &source, n, color](qint32 x, qint32 y) {
            reinterpret_cast<QRgb *>(
                overlay.scanLine(y / n - source.top()))[x / n - source.left()] = color;
        };
    };
    const QRect area = cells & QRect(0, 0, int(Width()), int(Height()));
    m_changes->forEachIn(m_changes->filled, area, mark(kFilledColor));
    m_changes->forEachIn(m_changes->erased, area, mark(kErasedColor));
    painter.drawImage(target, overlay);
}

QRect PictureBox::markerArea(QPoint pixel) const {
    return zoomedRect(QRect(pixel, QSize(1, 1)))
        .adjusted(-kMarkerArm, -kMarkerArm, kMarkerArm, kMarkerArm);
}

void PictureBox::setMarker(std::optional<QPoint> pixel) {
    if (pixel == m_marker)
        return;
    if (m_marker)
        update(markerArea(*m_marker));
    m_marker = pixel;
    if (m_marker)
        update(markerArea(*m_marker));
}

void PictureBox::paintMarker(QPainter &painter) {
    if (!m_marker || !onSurface(m_marker->x(), m_marker->y()))
        return;
    // Black within white, to be seen on paper and on ink alike.
    const QRect pixel = zoomedRect(QRect(*m_marker, QSize(1, 1)));
    painter.setRenderHint(QPainter::Antialiasing, false);
    for (auto [color, width] : {std::pair{Qt::white, 3}, std::pair{Qt::black, 1}}) {
        painter.setPen(QPen(color, width));
        if (zoom() >= 4) {
            painter.drawRect(pixel.adjusted(-1, -1, 0, 0));
            continue;
        }
        // Four arms pointing at the pixel, clear of it.
        const QPoint c = pixel.center();
        const int gap = pixel.width() / 2 + 2, end = kMarkerArm - 1;
        painter.drawLine(c.x() - end, c.y(), c.x() - gap, c.y());
        painter.drawLine(c.x() + gap, c.y(), c.x() + end, c.y());
        painter.drawLine(c.x(), c.y() - end, c.x(), c.y() - gap);
        painter.drawLine(c.x(), c.y() + gap, c.x(), c.y() + end);
    }
}

void PictureBox::paintPreview(QPainter &painter, const QRect &source, const QRect &target) {
    if (!m_preview)
        return;
    const int n = reduction();
    const QRect picture(0, 0, int(Width()), int(Height()));
    const QRect cells = (n > 1 ? QRect(source.topLeft() * n, source.size() * n) : source) & picture;
    // What is not made within the slice is made by the next paints.
    if (!m_preview->make(cells, QDeadlineTimer(kPreviewSliceMs)))
        m_previewMore->start();
    QImage overlay(source.size(), QImage::Format_ARGB32_Premultiplied);
    if (overlay.isNull())
        return;
    overlay.fill(Qt::transparent);
    const auto colour = [](int alpha) {
        return qPremultiply(
            qRgba(qRed(kPreviewColor), qGreen(kPreviewColor), qBlue(kPreviewColor), alpha));
    };
    const QRgb full = colour(kPreviewAlpha);
    std::vector<quint32> counts(size_t(source.width()));
    std::vector<quint8> madeColumns;
    for (int y = source.top(); y <= source.bottom(); ++y) {
        QRgb *line = reinterpret_cast<QRgb *>(overlay.scanLine(y - source.top()));
        if (n == 1) {
            for (int x = source.left(); x <= source.right(); ++x)
                if (m_preview->madeAt(x, y) && m_preview->ink(x, y))
                    line[x - source.left()] = full;
            continue;
        }
        // Reduced: the ink among the n x n pixels each screen pixel covers,
        // where all the tiles under them are made.
        const int y0 = y * n, y1 = std::min(y0 + n, picture.height()) - 1;
        if (y0 > y1)
            break;
        const int tile = ThresholdPreview::kTile;
        madeColumns.assign(size_t(picture.width() / tile + 1), 1);
        bool any = false;
        for (int tx = 0; tx < int(madeColumns.size()); ++tx) {
            madeColumns[size_t(tx)] = m_preview->made(QRect(tx * tile, y0, 1, y1 - y0 + 1));
            any = any || madeColumns[size_t(tx)];
        }
        if (!any)
            continue;
        std::fill(counts.begin(), counts.end(), 0);
        for (int iy = y0; iy <= y1; ++iy)
            m_preview->addRowCounts(iy, source.left(), n, source.width(), counts.data());
        for (int x = source.left(); x <= source.right(); ++x) {
            const int x0 = x * n, x1 = std::min(x0 + n, picture.width()) - 1;
            const quint32 ink = counts[size_t(x - source.left())];
            if (x0 > x1 || ink == 0 || !madeColumns[size_t(x0 / tile)] ||
                !madeColumns[size_t(x1 / tile)])
                continue;
            // Some ink stays in sight however little of the cell it covers.
            const quint32 area = quint32(x1 - x0 + 1) * quint32(y1 - y0 + 1);
            line[x - source.left()] =
                colour(std::max(int((kPreviewAlpha * ink + area / 2) / area), 48));
        }
    }
    painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
    painter.drawImage(target, overlay);

    // The caption, at the visible top left corner (below the hint, if any).
    const QRect visible = visibleRegion().boundingRect();
    const int below = m_hint.isEmpty() ? 0 : fontMetrics().height() + 2 * kHintMargin;
    // On a picture narrower than the caption, its end gives way.
    const QString caption = fontMetrics().elidedText(
        m_previewCaption, Qt::ElideRight, std::max(visible.width() - 2 * kHintMargin, 0));
    const QRect box = QRect(visible.topLeft() + QPoint(0, below), fontMetrics().size(0, caption))
                          .adjusted(0, 0, 2 * kHintMargin, kHintMargin);
    painter.fillRect(box, QColor::fromRgb(kPreviewColor));
    painter.setPen(Qt::white);
    painter.drawText(box, Qt::AlignCenter, caption);
}

void PictureBox::setComparing(bool on) {
    if (on == m_comparing)
        return;
    m_comparing = on;
    update();
    emit viewChanged();
}

void PictureBox::setChanges(std::shared_ptr<const PassChanges> changes) {
    if (changes == m_changes)
        return;
    m_changes = std::move(changes);
    if (m_showChanges)
        update();
}

void PictureBox::setShowChanges(bool on) {
    if (on == m_showChanges)
        return;
    m_showChanges = on;
    update();
    emit viewChanged();
}

void PictureBox::viewKeyRelease(QKeyEvent *event) {
    if (event->key() == Qt::Key_Backslash && !event->isAutoRepeat())
        setComparing(false);
}

void PictureBox::keyReleaseEvent(QKeyEvent *event) {
    viewKeyRelease(event);
    QWidget::keyReleaseEvent(event);
}

void PictureBox::focusOutEvent(QFocusEvent *event) {
    // The release of a key held while the focus leaves the window never
    // comes; within the window the window hands the keys on.
    if (event->reason() == Qt::ActiveWindowFocusReason)
        setComparing(false);
    QWidget::focusOutEvent(event);
}

bool PictureBox::viewKeyPress(QKeyEvent *event) {
    // The zoom keys keep the point under the pointer in place when the
    // pointer is over the picture's visible part, else the visible middle.
    const auto anchor = [this] {
        const QPoint pointer = mapFromGlobal(QCursor::pos());
        return visibleRegion().contains(pointer) ? QPointF(pointer) : visibleMiddle();
    };
    if (event->modifiers() & Qt::ControlModifier) {
        switch (event->key()) {
            case Qt::Key_Plus:
            case Qt::Key_Equal:  // "+" without Shift on many keyboards
                stepZoom(1, anchor());
                return true;
            case Qt::Key_Minus:
                stepZoom(-1, anchor());
                return true;
            case Qt::Key_0:
                setZoom(1);
                return true;
            case Qt::Key_9:
                fitToView();
                return true;
            default:
                return false;
        }
    }
    if (event->modifiers() & (Qt::AltModifier | Qt::MetaModifier))
        return false;
    if (event->key() == Qt::Key_Backslash) {
        setComparing(true);
        return true;
    }
    if (event->key() == Qt::Key_C) {
        if (!event->isAutoRepeat())
            setShowChanges(!m_showChanges);
        return true;
    }
    return false;
}

void PictureBox::keyPressEvent(QKeyEvent *event) {
    viewKeyPress(event);
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
