#pragma once

#include "core/ops/autothreshold.h"

#include <QWidget>

#include <optional>

namespace ink {

// A small tool window beside the main one: the red, green and blue
// histograms of the picture as loaded, one above the other (one alone when
// the three are the same, as in a grey scan), each value's count drawn on a
// logarithmic scale over a 0..255 axis, with the box values of R, V and B
// marked. The mark sits between the threshold and the next value: what lies
// left of it is ink for NB, what lies right of it paper. A box that holds no
// number has no mark.
//
// The value under the pointer and its count are shown above its histogram;
// a click or a drag on a histogram picks the value under the pointer as its
// channel's threshold (all three for the single grey one).
class HistogramWindow : public QWidget {
    Q_OBJECT

public:
    explicit HistogramWindow(QWidget *parent = nullptr);

    void setHistograms(const ChannelHistograms &histograms);
    // Red, green, blue; nullopt for a box that holds no number.
    using Marks = std::array<std::optional<double>, 3>;
    void setMarks(const Marks &marks);
    const Marks &marks() const { return m_marks; }
    // The scan's file name, for the title.
    void setFileName(const QString &name);

    // The histograms drawn: 3, or 1 when all three channels' are the same.
    int panelCount() const { return m_grey ? 1 : 3; }
    // The middle of value `value`'s bar in histogram `panel`.
    QPoint valuePoint(int panel, int value) const;
    // What the pointer is over: "value: count", empty off the histograms.
    QString pointerText() const { return m_pointerText; }

    QSize sizeHint() const override;

signals:
    // `value` picked as the threshold of `channel` (0 red, 1 green, 2 blue;
    // -1 all three).
    void thresholdPicked(int channel, int value);

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void leaveEvent(QEvent *event) override;

private:
    QRect panelRect(int panel) const;
    // The panel the position is over (its histogram or its axis), or -1; and
    // the value under it, kept within 0..255.
    int panelAt(QPoint position) const;
    int valueAt(QPoint position) const;
    void pick(int panel, QPoint position);
    void showPointer(QPoint position);

    ChannelHistograms m_histograms;
    Marks m_marks;
    bool m_grey = false;
    int m_dragPanel = -1;  // the histogram a drag started on
    QString m_pointerText;
    int m_pointerPanel = -1;
};

}  // namespace ink
