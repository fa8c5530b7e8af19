#pragma once

#include "core/image/sheet.h"
#include "core/session/history.h"

#include <QPointF>
#include <QRect>
#include <QWidget>

class QKeyEvent;
class QPainter;
class QTimer;

#include <memory>
#include <optional>
#include <vector>

namespace ink {

class ThresholdPreview;

// The picture area: a view of the sheet, the picture the passes work on. It
// takes the size of the sheet shown, so Width() and Height() are the
// picture's size in pixels, and Point() reads the sheet.
//
// Nothing is copied from the sheet: each paint composes what is exposed from
// the scan and the planes painted over it, at the zoom shown. During a pass
// refreshColumn() repaints the column just done, at once, without repainting
// the whole window.
//
// The view can be zoomed in by whole factors and out by whole divisors
// (Ctrl + wheel, Ctrl + "+" / "-", Ctrl + "0" back to 1, Ctrl + "9" to fit the
// whole picture in the view, whatever its size). Zoomed in, each image pixel
// is drawn as a crisp square of factor x factor screen pixels. Zoomed out to
// 1/n, each screen pixel shows the average colour of the n x n image pixels
// it covers, so a thin line stays visible as grey; for the deeper
// reductions, whose screen pixels each cost many image pixels, the reduced
// view is kept in tiles made as they are first shown and remade when the
// columns they show are painted (a pass's block of n columns once it is
// done). Zoom changes the view only: Point, Width and Height stay in image
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
// NB's preview (a ThresholdPreview) can be laid over the picture: the pixels
// NB would make ink in translucent magenta, reduced in proportion to the ink
// among the pixels a screen pixel covers, with a line saying what is shown.
// The part in sight is worked out first, a slice per paint, the rest as it
// comes into sight.
//
// A line of text, the hint, can be shown: in place of the picture when there
// is none (the area then takes the text's size), over its visible top left
// corner otherwise.
class PictureBox : public QWidget {
    Q_OBJECT
    Q_PROPERTY(QString hint READ hint WRITE setHint)

public:
    explicit PictureBox(QWidget *parent = nullptr);

    // Shows `sheet` (null: none), afresh: Compare and the overlay's changes
    // are dropped. The sheet must outlive the view or be replaced first.
    void setSheet(const Sheet *sheet);
    const Sheet *sheet() const { return m_sheet; }

    ColorValue Point(qint64 x, qint64 y) const { return m_sheet ? m_sheet->Point(x, y) : kNoPixel; }
    float Width() const { return m_sheet ? m_sheet->Width() : 0; }
    float Height() const { return m_sheet ? m_sheet->Height() : 0; }
    bool onSurface(qint64 x, qint64 y) const { return m_sheet && m_sheet->onSurface(x, y); }
    // The picture shown, composed whole, everything painted included.
    QImage image() const { return m_sheet ? m_sheet->image() : QImage(); }

    // Column x was painted: it is repainted now (reduced, once the block of
    // columns it belongs to is done, or at once with `now`).
    void refreshColumn(qint32 x, bool now = false);
    // Columns first..last were changed (undo, redo, the end of a pass).
    void refreshColumns(qint32 first, qint32 last);
    // Pixel (x, y) was painted outside a pass.
    void refreshPixel(qint32 x, qint32 y);

    QSize sizeHint() const override;

    QString hint() const { return m_hint; }
    void setHint(const QString &text);

    static constexpr int kZoomFactors[] = {1, 2, 3, 4, 6, 8, 12, 16};
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
    // Shows the picture at 1/divisor, one of the view's steps (2, 3, 4, 6, 8,
    // 12, 16, 24, ... 128; others are ignored).
    void setReduction(int divisor);
    void setReduction(int divisor, QPointF anchor);
    // Picks the largest scale, enlarged or reduced, at which the whole picture
    // shows in the enclosing scroll area's viewport without scrolling; the
    // smallest, 1/128, when none does. Without a scroll area it does nothing.
    void fitToView();
    // An image rectangle in this widget's (zoomed) coordinates: reduced, the
    // screen pixels that show any of its pixels.
    QRect zoomedRect(const QRect &imageRect) const;
    // A position over the widget in image pixels: at factor 1 unchanged; above
    // it, the whole number of the pixel under the position; reduced to 1/n,
    // floor(position * n), kept within the picture while over the widget.
    QPointF imagePosition(QPointF widgetPosition) const;
    // The area-averaged reduction of `image` to 1/divisor: each pixel is the
    // rounded mean of the red, green and blue values of the divisor x divisor
    // pixels it covers, those beyond the right and bottom edges left out.
    static QImage reduce(const QImage &image, int divisor);

    // Compare: the sheet's scan as loaded in place of the picture.
    void setComparing(bool on);
    bool comparing() const { return m_comparing; }
    // What the last pass changed (null: nothing to show), and the overlay's
    // switch.
    void setChanges(std::shared_ptr<const PassChanges> changes);
    void setShowChanges(bool on);
    bool showChanges() const { return m_showChanges; }
    static constexpr QRgb kFilledColor = 0xFF0072B2;
    static constexpr QRgb kErasedColor = 0xFFD55E00;

    // The view's own keys, from wherever the window has the focus: the zoom
    // keys, Backslash held for Compare, C for the overlay. True when the key
    // was one of them.
    bool viewKeyPress(QKeyEvent *event);
    void viewKeyRelease(QKeyEvent *event);

    // The inspected pixel, outlined on the picture (a small crosshair at
    // zooms below 4, where a pixel is too small to outline); none: nothing.
    void setMarker(std::optional<QPoint> pixel);
    std::optional<QPoint> marker() const { return m_marker; }
    // The screen area the marker of `pixel` covers.
    QRect markerArea(QPoint pixel) const;
    // NB's preview (null: none) and its line of text; dropped with the sheet.
    void setPreview(std::shared_ptr<ThresholdPreview> preview, const QString &caption);
    const std::shared_ptr<ThresholdPreview> &preview() const { return m_preview; }
    QString previewCaption() const { return m_preview ? m_previewCaption : QString(); }
    static constexpr QRgb kPreviewColor = 0xFFE0009C;
    static constexpr int kPreviewAlpha = 170;

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
    // The zoom, Compare or the overlay's switch changed.
    void viewChanged();

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
    static constexpr Level kLevels[] = {{1, 128}, {1, 96}, {1, 64}, {1, 48}, {1, 32}, {1, 24},
                                        {1, 16},  {1, 12}, {1, 8},  {1, 6},  {1, 4},  {1, 3},
                                        {1, 2},   {1, 1},  {2, 1},  {3, 1},  {4, 1},  {6, 1},
                                        {8, 1},   {12, 1}, {16, 1}};
    static constexpr int kUnitLevel = 13;
    const Level &level() const { return kLevels[m_level]; }
    int levelAllowed(int index) const;
    void setLevel(int index, QPointF anchor);
    void stepZoom(int steps, QPointF anchor);
    QPointF visibleMiddle() const;
    bool hasPicture() const { return Width() > 0 && Height() > 0; }
    void paintHint(QPainter &painter);
    QSize viewSize(const Level &level) const;
    // The image pixels of `source` as they stand (or as loaded, `scan`).
    QImage composed(const QRect &source, bool scan) const;
    // The reduced view's pixels `blocks` (at 1/reduction()), written into
    // `out` with `blocks`' top left corner at `at`.
    void reduceBlocks(const QRect &blocks, bool scan, QImage &out, QPoint at) const;
    // The reduced view of `rect` (in widget coordinates), from the tiles
    // kept, made where missing; null when none are kept at this scale.
    const QImage *tiles(const QRect &rect, bool scan);
    void dropTiles();
    // Draws the overlay over the image pixels `source`, shown in `target`.
    void paintChanges(QPainter &painter, const QRect &source, const QRect &target);
    void paintMarker(QPainter &painter);
    // Draws the preview over the screen pixels `target`, showing `source`
    // (image pixels, or reduced pixels when reduced), and its caption.
    void paintPreview(QPainter &painter, const QRect &source, const QRect &target);

    const Sheet *m_sheet = nullptr;
    int m_level = kUnitLevel;
    int m_wheelDelta = 0;  // wheel rotation not yet turned into zoom steps
    QString m_hint;
    // The kept reduced views, of the picture and of the scan, in tiles of
    // kTile x kTile screen pixels marked made or not; only at scales where
    // the whole view is small (kTiledPixels), where a screen pixel covers
    // many image pixels.
    static constexpr int kTile = 64;
    static constexpr qint64 kTiledPixels = qint64(16) << 20;
    struct Tiles {
        QImage image;
        std::vector<quint8> made;
        int columns = 0;
    } m_tiles[2];
    int m_tilesDivisor = 0;

    bool m_comparing = false;
    std::shared_ptr<const PassChanges> m_changes;
    bool m_showChanges = false;
    std::optional<QPoint> m_marker;
    static constexpr int kMarkerArm = 8;  // screen pixels around the pixel's square

    std::shared_ptr<ThresholdPreview> m_preview;
    QString m_previewCaption;
    QTimer *m_previewMore = nullptr;  // paints again while tiles in sight are missing
    QList<QMetaObject::Connection> m_previewScrolls;
};

}  // namespace ink
