#pragma once

#include "core/ops/autothreshold.h"

#include <QWidget>

#include <optional>

namespace ink {

// A small tool window beside the main one: the red, green and blue
// histograms of the picture as loaded, one above the other, each value's
// count drawn on a logarithmic scale, with the box values of R, V and B
// marked. The mark sits between the threshold and the next value: what lies
// left of it is ink for NB, what lies right of it paper. A box that holds no
// number has no mark.
class HistogramWindow : public QWidget {
    Q_OBJECT

public:
    explicit HistogramWindow(QWidget *parent = nullptr);

    void setHistograms(const ChannelHistograms &histograms);
    // Red, green, blue; nullopt for a box that holds no number.
    using Marks = std::array<std::optional<double>, 3>;
    void setMarks(const Marks &marks);
    const Marks &marks() const { return m_marks; }

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    ChannelHistograms m_histograms;
    Marks m_marks;
};

}  // namespace ink
