#pragma once

#include "image/imagesurface.h"

#include <QWidget>

namespace ink {

// The picture area: a widget that shows a persistent image and lets the
// program read and write single pixels. It takes the size of each picture
// loaded into it, so Width() and Height() are the picture's size in pixels.
//
// Writes are collected into a damaged rectangle; Refresh() repaints just that
// rectangle, at once, so a pass's column is on screen at its end-of-column step
// without repainting the whole window.
class PictureBox : public QWidget, public ImageSurface {
    Q_OBJECT

public:
    explicit PictureBox(QWidget *parent = nullptr);

    // Replaces the shown picture and everything painted into it.
    void setPicture(const QImage &image);

    void PSet(qint64 x, qint64 y, ColorValue color) override;
    void Refresh() override;

    QSize sizeHint() const override;

    // Key codes handed to the key-down handler for the arrow keys.
    enum KeyCode { KeyLeft = 37, KeyUp = 38, KeyRight = 39, KeyDown = 40 };

signals:
    // A key pressed while the picture has the focus. `keyCode` uses the
    // classic codes (37..40 for the arrows, the capital letter for a letter).
    void keyDown(int keyCode, int shift);
    // The pointer moved over the picture; x and y in image pixels.
    void mouseMove(int button, int shift, float x, float y);

protected:
    void paintEvent(QPaintEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;

private:
    // Bounds of the pixels written since the last refresh; empty when
    // m_damagedRight < m_damagedLeft. Kept as plain numbers because PSet runs
    // for every pixel a pass changes.
    int m_damagedLeft = 0;
    int m_damagedTop = 0;
    int m_damagedRight = -1;
    int m_damagedBottom = -1;
};

}  // namespace ink
