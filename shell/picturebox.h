#pragma once

#include "core/image/imagesurface.h"
#include "core/session/history.h"

#include <QPointF>
#include <QRect>
#include <QWidget>

class QPainter;
#include <memory>
#include <vector>

namespace ink {

// The picture area: a widget that shows a persistent image and lets the
// program read and write single pixels. It takes the size of each picture
// loaded into it, so Width() and Height() are the picture's size in pixels.
//
// Writes are collected into a damaged rectangle; Refresh() repaints just that
// rectangle, at once, so a pass's column is on screen at its end-of-column step
// without repainting the whole window.
//
// The view can be zoomed in by whole factors and out by whole divisors
// (Ctrl + wheel, Ctrl + "+" / "-", Ctrl + "0" back to 1, Ctrl + "9" to fit the
// whole picture in the view). Zoomed in, each image pixel is drawn as a crisp
// square of factor x factor screen pixels. Zoomed out to 1/n, each screen
// pixel shows the average colour of the n x n image pixels it covers, so a
// thin line stays visible as grey; that reduced copy is kept beside the
// picture and brought up to date by Refresh() for what was written since.
// Zoom changes the view only: Point, PSet, Width and Height stay in image
// pixels, and so do the positions mouseMove reports. Inside a scroll area,
// zooming keeps the point under the pointer (for the keys, the middle of the
// visible part) where it was.
//
// Two views help judge a pass, neither changing the picture: while Backslash
// is held the scan as loaded is shown in place of the picture (Compare), and
// the key C shows or hides the changes overlay, which colours the cells the
// last pass filled blue (#0072B2) and those it erased vermillion (#D55E00);
// reduced, a screen pixel takes the colour of any change it covers, erased
// first. Both keys still reach the key-down handler, as every key does.
//
// A line of text, the hint, can be shown: in place of the picture when there
// is none (the area then takes the text's size), over its visible top left
// corner otherwise.
class PictureBox : public QWidget, public ImageSurface {
    Q_OBJECT
    Q_PROPERTY(QString hint READ hint WRITE setHint)

public:
    explicit PictureBox(QWidget *parent = nullptr);

    // Replaces the shown picture and everything painted into it.
    void setPicture(const QImage &image);

    void PSet(qint64 x, qint64 y, ColorValue color) override;
    void PSetRow(qint64 x, qint64 y, const ColorValue *colors, qint64 count) override;
    void Refresh() override;

    QSize sizeHint() const override;

    QString hint() const { return m_hint; }
    void setHint(const QString &text);

    static constexpr int kZoomFactors[] = {1, 2, 3, 4, 6, 8, 12, 16};
    // The divisors of the reduced views, 1/2 to 1/16.
    static constexpr int kReductions[] = {2, 3, 4, 6, 8, 12, 16};
    // The largest of kZoomFactors at which a picture of width x height pixels
    // still fits a widget (QWIDGETSIZE_MAX on each side), so that all of it
    // can be scrolled to; 1 when no larger one fits.
    static int largestZoom(qint64 width, qint64 height);
    // The view's scale: zoom() screen pixels per image pixel, or one screen
    // pixel per reduction() x reduction() image pixels. At least one is 1.
    int zoom() const { return level().factor; }
    int reduction() const { return level().divisor; }
    // Sets the zoom factor, one of kZoomFactors (other values are ignored),
    // lowered to largestZoom() for the picture; a new picture lowers the
    // current factor the same way. `anchor`, in this widget's coordinates
    // before the change, keeps its place in the enclosing scroll area;
    // without one, the visible middle does.
    void setZoom(int factor);
    void setZoom(int factor, QPointF anchor);
    // Shows the picture at 1/divisor, one of kReductions (others are ignored).
    void setReduction(int divisor);
    void setReduction(int divisor, QPointF anchor);
    // Picks the largest scale, enlarged or reduced, at which the whole picture
    // shows in the enclosing scroll area's viewport without scrolling; the
    // smallest, 1/16, when none does. Without a scroll area it does nothing.
    void fitToView();
    // An image rectangle in this widget's (zoomed) coordinates: reduced, the
    // screen pixels that show any of its pixels.
    QRect zoomedRect(const QRect &imageRect) const;
    // A position over the widget in image pixels: at factor 1 unchanged; above
    // it, the whole number of the pixel under the position; reduced to 1/n,
    // floor(position * n), kept within the picture while over the widget.
    QPointF imagePosition(QPointF widgetPosition) const;
    // The reduced view as it is drawn (null at zoom 1 and above).
    const QImage &reducedPixels() const { return m_reduced; }
    // The area-averaged reduction of `image` to 1/divisor: each pixel is the
    // rounded mean of the red, green and blue values of the divisor x divisor
    // pixels it covers, those beyond the right and bottom edges left out.
    static QImage reduce(const QImage &image, int divisor);

    // The scan as loaded, shown while Compare is held; shared, not copied.
    void setLoadedPicture(const QImage &loaded);
    void setComparing(bool on);
    bool comparing() const { return m_comparing; }
    // What the last pass changed (null: nothing to show), and the overlay's
    // switch.
    void setChanges(std::shared_ptr<const PassChanges> changes);
    void setShowChanges(bool on);
    bool showChanges() const { return m_showChanges; }
    static constexpr QRgb kFilledColor = 0xFF0072B2;
    static constexpr QRgb kErasedColor = 0xFFD55E00;

signals:
    // A key pressed while the picture has the focus. `keyCode` is the key's
    // classic code (classicKeyCode(): 37..40 for the arrows only, the capital
    // letter for a letter, 0 for a key without one).
    void keyDown(int keyCode, int shift);
    // The pointer moved over the picture; x and y in image pixels.
    void mouseMove(int button, int shift, float x, float y);
    // A left click with Ctrl held (shift has 2 set, 1 with Shift too); x and
    // y in image pixels. Other clicks do what they did.
    void pick(int shift, float x, float y);

protected:
    void paintEvent(QPaintEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void keyReleaseEvent(QKeyEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void wheelEvent(QWheelEvent *event) override;

private:
    struct Level {
        int factor;
        int divisor;
    };
    // Every scale the view steps through, smallest first.
    static constexpr Level kLevels[] = {{1, 16}, {1, 12}, {1, 8}, {1, 6},  {1, 4},
                                        {1, 3},  {1, 2},  {1, 1}, {2, 1},  {3, 1},
                                        {4, 1},  {6, 1},  {8, 1}, {12, 1}, {16, 1}};
    static constexpr int kUnitLevel = 7;
    const Level &level() const { return kLevels[m_level]; }
    int levelAllowed(int index) const;
    void setLevel(int index, QPointF anchor);
    void stepZoom(int steps, QPointF anchor);
    QPointF visibleMiddle() const;
    bool hasPicture() const { return Width() > 0 && Height() > 0; }
    void paintHint(QPainter &painter);
    QSize viewSize(const Level &level) const;
    // Makes the reduced view and its block sums for 1/divisor (none for 1);
    // false, with the current ones kept, when memory runs out.
    bool buildReduced(int divisor);
    // Recomputes, from the block sums, the reduced view's pixels that show
    // image pixels in `imageRect`.
    void reduceInto(const QRect &imageRect);
    // Draws the overlay over the image pixels `source`, shown in `target`.
    void paintChanges(QPainter &painter, const QRect &source, const QRect &target);

    // Bounds of the pixels written since the last refresh, in image pixels;
    // empty when m_damagedRight < m_damagedLeft. Kept as plain numbers because
    // PSet runs for every pixel a pass changes.
    int m_damagedLeft = 0;
    int m_damagedTop = 0;
    int m_damagedRight = -1;
    int m_damagedBottom = -1;
    int m_level = kUnitLevel;
    int m_wheelDelta = 0;  // wheel rotation not yet turned into zoom steps
    QString m_hint;
    // The picture at 1/reduction(), only while the view is reduced: one copy,
    // for the level shown (with its sums, 2.5 bytes a picture pixel at 1/2).
    QImage m_reduced;
    // Kept with it for PSet, so that a pass's writes cost no second walk down
    // the picture's columns: the divisor, the exact red, green and blue sums
    // of each block (block column by block column), and the block row of each
    // picture row and the first sum of each picture column's block column.
    int m_divisor = 1;
    std::vector<quint16> m_blockSums;
    std::vector<int> m_blockOfRow;
    std::vector<size_t> m_sumsOfColumn;

    QImage m_loaded;
    QImage m_loadedReduced;  // m_loaded at 1/m_loadedDivisor, made when Compare needs it
    int m_loadedDivisor = 1;
    bool m_comparing = false;
    std::shared_ptr<const PassChanges> m_changes;
    bool m_showChanges = false;
    QImage m_changesReduced;  // the overlay at 1/m_changesDivisor, for the reduced views
    int m_changesDivisor = 1;
};

}  // namespace ink
