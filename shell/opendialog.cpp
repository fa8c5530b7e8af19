#include "shell/opendialog.h"

#include <QCoreApplication>
#include <QFileDialog>

namespace ink {

namespace {

OpenDialog::Chooser &installedChooser() {
    static OpenDialog::Chooser chooser;
    return chooser;
}

}  // namespace

QString OpenDialog::choose(QWidget *parent, const QString &folder) {
    if (const Chooser &chooser = installedChooser())
        return chooser(parent, folder);
    return QFileDialog::getOpenFileName(
        parent, QCoreApplication::translate("OpenDialog", "Open a scan"), folder,
        QStringLiteral("Scans (*.png *.jpg *.jpeg *.jp2 *.j2k *.j2c *.bmp *.gif *.tif *.tiff "
                       "*.webp *.pbm *.pgm *.ppm *.pnm);;All files (*)"));
}

void OpenDialog::setChooser(Chooser chooser) {
    installedChooser() = std::move(chooser);
}

}  // namespace ink
