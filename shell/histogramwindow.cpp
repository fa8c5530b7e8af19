#include "shell/histogramwindow.h"

#include <QMouseEvent>
#include <QPainter>

#include <algorithm>
#include <cmath>

namespace ink {

namespace {

constexpr int kMargin = 8;
constexpr int kBinWidth = 2;  // screen pixels per value
constexpr int kPanelHeight = 90;
constexpr int kLabelHeight = 16;
constexpr int kAxisHeight = 18;  // ticks and their numbers under a histogram
constexpr int kPanelPitch = kLabelHeight + kPanelHeight + kAxisHeight + kMargin;

const QColor kColours[3] = {QColor(200, 40, 40), QColor(30, 150, 60), QColor(40, 70, 210)};

}  // namespace

HistogramWindow::HistogramWindow(QWidget *parent) : QWidget(parent, Qt::Tool) {
    setObjectName(QStringLiteral("histogramWindow"));
    setWindowTitle(tr("Histograms"));
    setMouseTracking(true);
    setToolTip(
        tr("Red, green and blue values of the picture as loaded (counts on a log scale); the line "
           "is the box's threshold: values left of it are ink, right of it paper. Click or drag on "
           "a histogram to set its box to the value under the pointer. Ctrl+T sets the boxes from "
           "these histograms, Ctrl+H hides this window"));
    setFixedSize(sizeHint());
}

QSize HistogramWindow::sizeHint() const {
    return {2 * kMargin + 256 * kBinWidth, kMargin + panelCount() * kPanelPitch};
}

void HistogramWindow::setHistograms(const ChannelHistograms &histograms) {
    m_histograms = histograms;
    m_grey = histograms.red == histograms.green && histograms.green == histograms.blue;
    setFixedSize(sizeHint());
    update();
}

void HistogramWindow::setMarks(const Marks &marks) {
    m_marks = marks;
    update();
}

void HistogramWindow::setFileName(const QString &name) {
    setWindowTitle(name.isEmpty() ? tr("Histograms") : tr("Histograms - %1").arg(name));
}

QRect HistogramWindow::panelRect(int panel) const {
    return QRect(kMargin, kMargin + panel * kPanelPitch + kLabelHeight, 256 * kBinWidth,
                 kPanelHeight);
}

QPoint HistogramWindow::valuePoint(int panel, int value) const {
    const QRect r = panelRect(panel);
    return QPoint(r.left() + value * kBinWidth + kBinWidth / 2, r.center().y());
}

int HistogramWindow::panelAt(QPoint position) const {
    for (int p = 0; p < panelCount(); ++p) {
        const QRect r = panelRect(p).adjusted(0, 0, 0, kAxisHeight);
        if (r.contains(position))
            return p;
    }
    return -1;
}

int HistogramWindow::valueAt(QPoint position) const {
    return std::clamp((position.x() - kMargin) / kBinWidth, 0, 255);
}

void HistogramWindow::pick(int panel, QPoint position) {
    emit thresholdPicked(m_grey ? -1 : panel, valueAt(position));
}

void HistogramWindow::showPointer(QPoint position) {
    const int panel = panelAt(position);
    QString text;
    if (panel >= 0) {
        const ChannelHistogram *channels[3] = {&m_histograms.red, &m_histograms.green,
                                               &m_histograms.blue};
        const int value = valueAt(position);
        text = QStringLiteral("%1: %2").arg(value).arg((*channels[panel])[size_t(value)]);
    }
    if (text == m_pointerText && panel == m_pointerPanel)
        return;
    m_pointerText = text;
    m_pointerPanel = panel;
    update();
}

void HistogramWindow::mousePressEvent(QMouseEvent *event) {
    const QPoint position = event->position().toPoint();
    if (event->button() != Qt::LeftButton || panelAt(position) < 0) {
        QWidget::mousePressEvent(event);
        return;
    }
    m_dragPanel = panelAt(position);
    pick(m_dragPanel, position);
}

void HistogramWindow::mouseMoveEvent(QMouseEvent *event) {
    const QPoint position = event->position().toPoint();
    // A drag keeps the histogram it started on, wherever the pointer goes.
    if (m_dragPanel >= 0 && (event->buttons() & Qt::LeftButton))
        pick(m_dragPanel, position);
    showPointer(position);
}

void HistogramWindow::mouseReleaseEvent(QMouseEvent *event) {
    if (event->button() == Qt::LeftButton)
        m_dragPanel = -1;
    QWidget::mouseReleaseEvent(event);
}

void HistogramWindow::leaveEvent(QEvent *event) {
    showPointer(QPoint(-1, -1));
    QWidget::leaveEvent(event);
}

void HistogramWindow::paintEvent(QPaintEvent *) {
    QPainter painter(this);
    painter.fillRect(rect(), palette().window());
    const ChannelHistogram *channels[3] = {&m_histograms.red, &m_histograms.green,
                                           &m_histograms.blue};
    const char *names[3] = {"R", "V", "B"};
    const QColor text = palette().windowText().color();
    for (int p = 0; p < panelCount(); ++p) {
        const QRect panel = panelRect(p);
        painter.fillRect(panel, Qt::white);
        const ChannelHistogram &h = *channels[p];
        const double top1 = std::log1p(double(*std::max_element(h.begin(), h.end())));
        painter.setPen(Qt::NoPen);
        painter.setBrush(m_grey ? QColor(90, 90, 90) : kColours[p]);
        for (int v = 0; v < 256 && top1 > 0; ++v) {
            const int bar =
                int(std::lround(kPanelHeight * std::log1p(double(h[size_t(v)])) / top1));
            if (bar > 0)
                painter.drawRect(panel.left() + v * kBinWidth, panel.bottom() + 1 - bar, kBinWidth,
                                 bar);
        }

        // The marks: the panel's channel, or all three on the grey one.
        QString label;
        for (int c = m_grey ? 0 : p; c <= (m_grey ? 2 : p); ++c) {
            label += QLatin1String(names[c]);
            const std::optional<double> mark = m_marks[size_t(c)];
            if (mark) {
                label += QStringLiteral(" %1").arg(*mark);
                // Between the threshold and the next value, kept in the panel.
                const double x = std::clamp((*mark + 1) * kBinWidth, 0.0, 256.0 * kBinWidth);
                painter.setPen(QPen(m_grey ? kColours[c] : Qt::black, 1, Qt::DashLine));
                painter.drawLine(QPointF(panel.left() + x, panel.top()),
                                 QPointF(panel.left() + x, panel.bottom() + 1));
            }
            label += QStringLiteral("   ");
        }
        const QRect labelRow(kMargin, panel.top() - kLabelHeight, panel.width(), kLabelHeight);
        painter.setPen(text);
        painter.drawText(labelRow, Qt::AlignLeft | Qt::AlignVCenter, label.trimmed());
        if (p == m_pointerPanel)
            painter.drawText(labelRow, Qt::AlignRight | Qt::AlignVCenter,
                             QStringLiteral("value %1 pixels").arg(m_pointerText));

        // The axis: a tick every 32 values, and at 255, each with its number.
        const int axisTop = panel.bottom() + 1;
        for (int v = 0; v <= 256; v += 32) {
            const int value = std::min(v, 255);
            const int x = panel.left() + value * kBinWidth + kBinWidth / 2;
            painter.drawLine(x, axisTop, x, axisTop + 3);
            const QRect number(x - 20, axisTop + 3, 40, kAxisHeight - 3);
            const int align = value == 0     ? Qt::AlignLeft
                              : value == 255 ? Qt::AlignRight
                                             : Qt::AlignHCenter;
            painter.drawText(number.translated(value == 0     ? 20
                                               : value == 255 ? -20
                                                              : 0,
                                               0),
                             align | Qt::AlignTop, QString::number(value));
        }
    }
}

}  // namespace ink
