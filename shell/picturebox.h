#pragma once

#include "core/image/imagesurface.h"

#include <QPointF>
#include <QRect>
#include <QWidget>

class QPainter;

namespace ink {

// The picture area: a widget that shows a persistent image and lets the
// program read and write single pixels. It takes the size of each picture
// loaded into it, so Width() and Height() are the picture's size in pixels.
//
// Writes are collected into a damaged rectangle; Refresh() repaints just that
// rectangle, at once, so a pass's column is on screen at its end-of-column step
// without repainting the whole window.
//
// The view can be zoomed by whole factors (Ctrl + wheel, Ctrl + "+" / "-",
// Ctrl + "0" back to 1): each image pixel is drawn as a crisp square of
// factor x factor screen pixels. Zoom changes the view only: Point, PSet,
// Width and Height stay in image pixels, and so do the positions mouseMove
// reports. Inside a scroll area, zooming keeps the point under the pointer
// (for the keys, the middle of the visible part) where it was.
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
    void Refresh() override;

    QSize sizeHint() const override;

    QString hint() const { return m_hint; }
    void setHint(const QString &text);

    static constexpr int kZoomFactors[] = {1, 2, 3, 4, 6, 8, 12, 16};
    // The largest of kZoomFactors at which a picture of width x height pixels
    // still fits a widget (QWIDGETSIZE_MAX on each side), so that all of it
    // can be scrolled to; 1 when no larger one fits.
    static int largestZoom(qint64 width, qint64 height);
    int zoom() const { return m_zoom; }
    // Sets the zoom factor, one of kZoomFactors (other values are ignored),
    // lowered to largestZoom() for the picture; a new picture lowers the
    // current factor the same way. `anchor`, in this widget's coordinates
    // before the change, keeps its place in the enclosing scroll area;
    // without one, the visible middle does.
    void setZoom(int factor);
    void setZoom(int factor, QPointF anchor);
    // An image rectangle in this widget's (zoomed) coordinates.
    QRect zoomedRect(const QRect &imageRect) const;
    // A position over the widget in image pixels: at factor 1 unchanged; above
    // it, the whole number of the pixel under the position.
    QPointF imagePosition(QPointF widgetPosition) const;

signals:
    // A key pressed while the picture has the focus. `keyCode` is the key's
    // classic code (classicKeyCode(): 37..40 for the arrows only, the capital
    // letter for a letter, 0 for a key without one).
    void keyDown(int keyCode, int shift);
    // The pointer moved over the picture; x and y in image pixels.
    void mouseMove(int button, int shift, float x, float y);

protected:
    void paintEvent(QPaintEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void wheelEvent(QWheelEvent *event) override;

private:
    void stepZoom(int steps, QPointF anchor);
    QPointF visibleMiddle() const;
    bool hasPicture() const { return Width() > 0 && Height() > 0; }
    void paintHint(QPainter &painter);

    // Bounds of the pixels written since the last refresh, in image pixels;
    // empty when m_damagedRight < m_damagedLeft. Kept as plain numbers because
    // PSet runs for every pixel a pass changes.
    int m_damagedLeft = 0;
    int m_damagedTop = 0;
    int m_damagedRight = -1;
    int m_damagedBottom = -1;
    int m_zoom = 1;
    int m_wheelDelta = 0;  // wheel rotation not yet turned into zoom steps
    QString m_hint;
};

}  // namespace ink
