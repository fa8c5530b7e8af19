#include "shell/histogramwindow.h"

#include <QPainter>

#include <algorithm>
#include <cmath>

namespace ink {

namespace {

constexpr int kMargin = 8;
constexpr int kBinWidth = 2;  // screen pixels per value
constexpr int kPanelHeight = 90;
constexpr int kLabelHeight = 16;

}  // namespace

HistogramWindow::HistogramWindow(QWidget *parent) : QWidget(parent, Qt::Tool) {
    setObjectName(QStringLiteral("histogramWindow"));
    setWindowTitle(QStringLiteral("Histograms"));
    setToolTip(QStringLiteral(
        "Red, green and blue values of the picture as loaded (counts on a log scale); the line "
        "is the box's threshold: values left of it are ink, right of it paper. Ctrl+T sets the "
        "boxes from these histograms, Ctrl+H hides this window"));
    setFixedSize(sizeHint());
}

QSize HistogramWindow::sizeHint() const {
    return {2 * kMargin + 256 * kBinWidth, kMargin + 3 * (kPanelHeight + kLabelHeight + kMargin)};
}

void HistogramWindow::setHistograms(const ChannelHistograms &histograms) {
    m_histograms = histograms;
    update();
}

void HistogramWindow::setMarks(const Marks &marks) {
    m_marks = marks;
    update();
}

void HistogramWindow::paintEvent(QPaintEvent *) {
    QPainter painter(this);
    painter.fillRect(rect(), palette().window());
    const ChannelHistogram *channels[3] = {&m_histograms.red, &m_histograms.green,
                                           &m_histograms.blue};
    const QColor colours[3] = {QColor(200, 40, 40), QColor(30, 150, 60), QColor(40, 70, 210)};
    const char *names[3] = {"R", "V", "B"};
    for (int c = 0; c < 3; ++c) {
        const int top = kMargin + c * (kPanelHeight + kLabelHeight + kMargin);
        const QRect panel(kMargin, top + kLabelHeight, 256 * kBinWidth, kPanelHeight);
        painter.fillRect(panel, Qt::white);
        const ChannelHistogram &h = *channels[c];
        const double top1 = std::log1p(double(*std::max_element(h.begin(), h.end())));
        painter.setPen(Qt::NoPen);
        painter.setBrush(colours[c]);
        for (int v = 0; v < 256 && top1 > 0; ++v) {
            const int bar =
                int(std::lround(kPanelHeight * std::log1p(double(h[size_t(v)])) / top1));
            if (bar > 0)
                painter.drawRect(panel.left() + v * kBinWidth, panel.bottom() + 1 - bar, kBinWidth,
                                 bar);
        }
        QString label = QLatin1String(names[c]);
        if (const std::optional<double> mark = m_marks[size_t(c)]) {
            label += QStringLiteral("  %1").arg(*mark);
            // Between the threshold and the next value, kept in the panel.
            const double x = std::clamp((*mark + 1) * kBinWidth, 0.0, 256.0 * kBinWidth);
            painter.setPen(QPen(Qt::black, 1, Qt::DashLine));
            painter.drawLine(QPointF(panel.left() + x, panel.top()),
                             QPointF(panel.left() + x, panel.bottom() + 1));
        }
        painter.setPen(palette().windowText().color());
        painter.drawText(QRect(kMargin, top, panel.width(), kLabelHeight),
                         Qt::AlignLeft | Qt::AlignVCenter, label);
    }
}

}  // namespace ink
