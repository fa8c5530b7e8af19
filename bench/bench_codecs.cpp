// Times the picture files of one A4 page at 300 dpi (2480 x 3508, a sample
// scan): decoding the scan as PNG and as JPEG, with Qt's readers and with
// inkmask's own; encoding the painted picture and the mask after
// nb,bouchtrou,affine with Qt's PNG writer and with inkmask's encoder: the
// row coder it uses for pictures, and each row filter at several deflate
// levels (every one up to 7 with the Up filter), with the sizes (the one the
// writer uses is marked). Median of several runs of processor time; prints
// figures, and checks only that pixels are equal. Then the page as a JPEG
// 2000 master (lossless, and lossy at 20:1, made by opj_compress): LoadPicture
// against opj_decompress on the same file, each on 1 and on 2 threads, in
// wall-clock time (the decoder's threads are the point); opj_decompress's
// time includes starting it and writing its PPM file.
//
//   build-rel/bench/bench_codecs [RUNS]

#include "bench/quietstep.h"
#include "core/files/imagefiles.h"
#include "core/files/jp2codec.h"
#include "core/files/loadpicture.h"
#include "core/files/pngcodec.h"
#include "core/ops/kernels.h"
#include "core/ops/packedengine.h"
#include "samplegen.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QImageReader>
#include <QImageWriter>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

#include <time.h>

using namespace ink;

namespace {

// The thread's processor time, page faults included: on a machine shared
// with other work it varies far less than the wall clock.
double cpuMs() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

double medianMs(int runs, const std::function<void()> &timed) {
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        const double start = cpuMs();
        timed();
        times.push_back(cpuMs() - start);
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

QImage qtRead(const QByteArray &bytes) {
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    QImage image = reader.read();
    layOnWhitePaper(image);
    return image.convertToFormat(QImage::Format_RGB32);
}

QByteArray qtWrite(const QImage &image, const char *format) {
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    QImageWriter(&buffer, format).write(image);
    return buffer.data();
}

QByteArray ownWrite(const QImage &image) {
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    QString error;
    writePng(image, &buffer, &error);
    return buffer.data();
}

// Decoding `bytes` the way the programs did before (Qt's reader) and now
// (LoadPicture), into a reused picture as the batch tool does.
void benchDecode(const char *what, const QByteArray &bytes, const QString &file, int runs) {
    const QImage before = qtRead(bytes);
    QImage reused;
    LoadPicture(file, &reused);
    const bool equal = reused.convertToFormat(QImage::Format_RGB32) == before;
    const double qtMs = medianMs(runs, [&] { qtRead(bytes); });
    const double ownMs = medianMs(runs, [&] { LoadPicture(file, &reused); });
    std::printf(
        "  %-5s Qt's reader %6.1f ms, LoadPicture (file read and checked) %6.1f ms: "
        "%.2f x  %s\n",
        what, qtMs, ownMs, qtMs / ownMs, equal ? "pixels equal" : "PIXELS DIFFER");
    if (isPng(bytes)) {
        const double decodeMs = medianMs(runs, [&] { readPng(bytes, &reused, [](QSize) {}); });
        std::printf("  %-5s its decoder alone, from memory %6.1f ms: %.2f x\n", what, decodeMs,
                    qtMs / decodeMs);
    }
}

// The programs' PNG writer against Qt's: time, size and pixels.
void benchEncode(const char *what, const QImage &image, int runs) {
    const QByteArray qt = qtWrite(image, "png");
    const double qtMs = medianMs(runs, [&] { qtWrite(image, "png"); });
    const QByteArray own = ownWrite(image);
    const double ms = medianMs(runs, [&] { ownWrite(image); });
    std::printf(
        "  %s: Qt's writer %.1f ms, %lld bytes; ours %.1f ms (%.2f x faster), %lld bytes "
        "(%+.1f %%)  %s\n",
        what, qtMs, qlonglong(qt.size()), ms, qtMs / ms, qlonglong(own.size()),
        100.0 * (double(own.size()) / double(qt.size()) - 1.0),
        qtRead(own) == qtRead(qt) ? "pixels equal" : "PIXELS DIFFER");
}

double medianWallMs(int runs, const std::function<void()> &timed) {
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer clock;
        clock.start();
        timed();
        times.push_back(double(clock.nsecsElapsed()) / 1e6);
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

bool runTool(const QString &tool, const QStringList &arguments) {
    QProcess process;
    process.start(tool, arguments);
    return process.waitForFinished(600000) && process.exitCode() == 0;
}

// The page as JPEG 2000 masters, decoded by LoadPicture and by opj_decompress.
void benchJpeg2000(const QImage &scan, const QTemporaryDir &dir, int runs) {
    const QString compress = QStandardPaths::findExecutable(QStringLiteral("opj_compress"));
    const QString decompress = QStandardPaths::findExecutable(QStringLiteral("opj_decompress"));
    if (compress.isEmpty() || decompress.isEmpty()) {
        std::printf(
            "JPEG 2000: opj_compress and opj_decompress are not installed "
            "(libopenjp2-tools)\n");
        return;
    }
    const QString ppm = dir.filePath(QStringLiteral("page.ppm"));
    const QString out = dir.filePath(QStringLiteral("decoded.ppm"));
    if (!scan.save(ppm, "PPM"))
        return;
    std::printf("Decoding JPEG 2000 masters, wall clock:\n");
    const struct {
        const char *what;
        QStringList options;
    } kinds[] = {{"lossless", {}}, {"lossy 20:1", {"-r", "20"}}};
    for (const auto &kind : kinds) {
        const QString master = dir.filePath(QStringLiteral("page.jp2"));
        if (!runTool(compress, QStringList{"-i", ppm, "-o", master} + kind.options))
            return;
        QImage reused;
        LoadPicture(master, &reused);
        runTool(decompress, {"-quiet", "-i", master, "-o", out});
        const bool equal = reused == QImage(out).convertToFormat(QImage::Format_RGB32);
        std::printf("  %-10s %5.1f MB  %s\n", kind.what, double(QFileInfo(master).size()) / 1e6,
                    equal ? "pixels equal" : "PIXELS DIFFER");
        for (const int threads : {1, 2}) {
            setJpeg2000Threads(threads);
            const double ownMs = medianWallMs(runs, [&] { LoadPicture(master, &reused); });
            const double toolMs = medianWallMs(runs, [&] {
                runTool(decompress,
                        {"-quiet", "-threads", QString::number(threads), "-i", master, "-o", out});
            });
            std::printf("    %d thread%s: LoadPicture %7.1f ms, opj_decompress %7.1f ms: %.2f x\n",
                        threads, threads > 1 ? "s" : " ", ownMs, toolMs, toolMs / ownMs);
        }
    }
    setJpeg2000Threads(0);
}

}  // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 7;
    const QImage scan = makeSampleScan(2480, 3508, 21);
    QTemporaryDir dir;
    const QByteArray png = qtWrite(scan, "png");
    const QByteArray jpeg = qtWrite(scan, "jpeg");
    const QString pngFile = dir.filePath(QStringLiteral("page.png"));
    const QString jpegFile = dir.filePath(QStringLiteral("page.jpg"));
    for (const auto &[name, bytes] : {std::pair{pngFile, png}, std::pair{jpegFile, jpeg}}) {
        QFile file(name);
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            return 1;
    }
    std::printf("One A4 page at 300 dpi, 2480 x 3508, median of %d runs\n", runs);
    std::printf("Decoding (PNG %.1f MB, JPEG %.1f MB as Qt writes them):\n", png.size() / 1e6,
                jpeg.size() / 1e6);
    benchDecode("PNG", png, pngFile, runs);
    benchDecode("JPEG", jpeg, jpegFile, runs);
    benchJpeg2000(scan, dir, std::min(runs, 3));

    KernelModel model;
    model.load(scan);
    QuietStep step;
    ThresholdKernel nb({180, 180, 180});
    HoleFillKernel bouchtrou;
    SpurRemovalKernel affine;
    runColumnPass(model, step, nb);
    runColumnPass(model, step, bouchtrou);
    runColumnPass(model, step, affine);
    const QImage mask = maskImage(model.Mask, model.picture.original());
    const QImage painted = model.picture.takeImage();
    std::printf("Encoding as PNG, after nb,bouchtrou,affine:\n");
    benchEncode("painted picture", painted, runs);
    benchEncode("mask", mask, runs);
    return 0;
}
