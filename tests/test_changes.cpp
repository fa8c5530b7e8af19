// The window's ways of judging a pass: the changes overlay (C), Compare (held
// Backslash) and undo and redo from the keyboard, on the real window at
// several scales. What is shown is grabbed from the picture box and compared
// with what the test works out from its own snapshots.

#include "core/session/history.h"
#include "shell/form1.h"
#include "shell/messagebox.h"
#include "shell/picturebox.h"
#include "support.h"

#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>

using namespace ink;
using namespace ink::test;

namespace {

// Colours about the thresholds, so that NB leaves dots and thin lines that
// affine then erases and bouchtrou fills.
QImage noisy(int w, int h) {
    Rng rng(7);
    QImage image(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            image.setPixel(x, y, rng.below(3) ? qRgb(230, 220, 210) : qRgb(40, 60, 80));
    return image;
}

// The picture box's screen pixel (sx, sy) as the test expects it: `picture`
// at the box's scale, and over it the cells that differ between the masks,
// blue where `after` is black, vermillion where it is white; reduced, a
// screen pixel takes the colour of any change it covers, erased first.
QRgb expectedPixel(const PictureBox &box, const QImage &picture, const QImage &reduced,
                   const PackedMask *before, const PackedMask &after, int sx, int sy) {
    const int z = box.zoom(), n = box.reduction();
    const QRect cells =
        n > 1 ? QRect(sx * n, sy * n, n, n) & picture.rect() : QRect(sx / z, sy / z, 1, 1);
    bool filled = false, erased = false;
    for (int y = cells.top(); before && y <= cells.bottom(); ++y)
        for (int x = cells.left(); x <= cells.right(); ++x)
            if (before->at(x, y) != after.at(x, y))
                (after.at(x, y) ? filled : erased) = true;
    if (erased)
        return PictureBox::kErasedColor;
    if (filled)
        return PictureBox::kFilledColor;
    return (n > 1 ? reduced.pixel(sx, sy) : picture.pixel(sx / z, sy / z)) | 0xFF000000u;
}

}  // namespace

class TestChanges : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_scan;

    void checkShown(PictureBox *box, const QImage &picture, const PackedMask *before,
                    const PackedMask &after) {
        const QImage reduced =
            box->reduction() > 1 ? PictureBox::reduce(picture, box->reduction()) : QImage();
        const QImage shown = box->grab(QRect(QPoint(0, 0), box->size())).toImage();
        // The inspected pixel's outline is drawn over the picture.
        const QRect marker = box->marker() ? box->markerArea(*box->marker()) : QRect();
        for (int sy = 0; sy < shown.height(); ++sy)
            for (int sx = 0; sx < shown.width(); ++sx)
                if (!marker.contains(sx, sy) &&
                    (shown.pixel(sx, sy) | 0xFF000000u) !=
                        expectedPixel(*box, picture, reduced, before, after, sx, sy))
                    QFAIL(qPrintable(QStringLiteral("screen pixel %1, %2").arg(sx).arg(sy)));
    }

private slots:
    void initTestCase() {
        MessageBoxes::setHandler([](QWidget *, const QString &text) { QFAIL(qPrintable(text)); });
        m_scan = m_dir.filePath(QStringLiteral("scan.png"));
        QVERIFY(noisy(67, 70).save(m_scan));
    }

    void overlayCompareUndo_data() {
        QTest::addColumn<int>("zoom");  // negative: reduced to 1/-zoom
        QTest::newRow("1") << 1;
        QTest::newRow("3") << 3;
        QTest::newRow("1/2") << -2;
        QTest::newRow("1/3") << -3;
    }
    void overlayCompareUndo() {
        QFETCH(int, zoom);
        Module1 module;
        Form1 form(module);
        QVERIFY(form.Form_Load(m_scan));
        PictureBox *box = control<PictureBox>(form, "Picture1");
        zoom > 0 ? box->setZoom(zoom) : box->setReduction(-zoom);
        form.rgb2nb_Click();
        const QImage afterNb = box->image();
        const PackedMask maskNb = module.Mask;
        form.affine_Click();
        const QImage afterAffine = box->image();
        const PackedMask maskAffine = module.Mask;

        // C shows the overlay, touching neither picture, mask nor the line.
        form.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&form));
        box->setFocus();
        QTest::keyClick(box, Qt::Key_Right);
        const QString line = control<QLineEdit>(form, "Text1")->text();
        checkShown(box, afterAffine, nullptr, maskAffine);
        QTest::keyClick(box, Qt::Key_C);
        QVERIFY(box->showChanges());
        checkShown(box, afterAffine, &maskNb, maskAffine);
        QCOMPARE(control<QLineEdit>(form, "Text1")->text(), line);
        QVERIFY(box->image() == afterAffine && module.Mask == maskAffine);
        const auto counts = [&](const PackedMask &before, const PackedMask &after) {
            qint64 filled = 0, erased = 0;
            for (qint32 x = 0; x <= after.upperX(); ++x)
                for (qint32 y = 0; y <= after.upperY(); ++y)
                    if (before.at(x, y) != after.at(x, y))
                        ++(after.at(x, y) ? filled : erased);
            return changeCountsText(filled, erased);
        };
        for (const char *name : {"Progress", "Text1"})
            QVERIFY(control<QWidget>(form, name)->toolTip().contains(counts(maskNb, maskAffine)));

        // Held Backslash shows the scan as loaded, the overlay off; released,
        // the picture and overlay again.
        QTest::keyPress(box, Qt::Key_Backslash);
        checkShown(box, noisy(67, 70), nullptr, maskAffine);
        QTest::keyRelease(box, Qt::Key_Backslash);
        checkShown(box, afterAffine, &maskNb, maskAffine);

        // Ctrl+Z takes affine back, the overlay then showing NB's changes;
        // Ctrl+Y and Ctrl+Shift+Z do it again.
        QTest::keyClick(box, Qt::Key_Z, Qt::ControlModifier);
        QVERIFY(box->image() == afterNb && module.Mask == maskNb);
        const PackedMask fresh = [&] {
            PackedMask m;
            m.allocate(67, 70);
            return m;
        }();
        checkShown(box, afterNb, &fresh, maskNb);
        QVERIFY(control<QWidget>(form, "Progress")->toolTip().contains(counts(fresh, maskNb)));
        QTest::keyClick(box, Qt::Key_Y, Qt::ControlModifier);
        QVERIFY(box->image() == afterAffine && module.Mask == maskAffine);
        QTest::keyClick(box, Qt::Key_Z, Qt::ControlModifier);
        QTest::keyClick(box, Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
        QVERIFY(box->image() == afterAffine && module.Mask == maskAffine);
        QTest::keyClick(box, Qt::Key_C);
        checkShown(box, afterAffine, nullptr, maskAffine);
    }
};

QTEST_MAIN(TestChanges)
#include "test_changes.moc"
