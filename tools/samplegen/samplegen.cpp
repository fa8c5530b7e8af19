#include "samplegen.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <vector>

namespace ink {
namespace {

// splitmix64: tiny, fast and, unlike the <random> distributions, gives the
// same sequence with every compiler and standard library.
class Rng {
public:
    explicit Rng(quint64 seed) : state_(seed ^ 0x6a09e667f3bcc909ull) {}

    quint64 next() {
        quint64 z = (state_ += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }

    // Uniform integer in [lo, hi]; returns lo for an empty range.
    int range(int lo, int hi) {
        if (hi <= lo) {
            return lo;
        }
        const quint64 span = quint64(qint64(hi) - qint64(lo)) + 1;
        return int(qint64(lo) + qint64(((next() >> 32) * span) >> 32));
    }

    bool chance(int percent) { return range(0, 99) < percent; }

private:
    quint64 state_;
};

// Stateless per-pixel hash so that the paper under any pixel can be
// reproduced later (e.g. when a defect punches a hole into a stroke).
inline quint32 mix32(quint32 h) {
    h ^= h >> 16;
    h *= 0x7feb352du;
    h ^= h >> 15;
    h *= 0x846ca68bu;
    h ^= h >> 16;
    return h;
}

inline quint32 pixelHash(int x, int y, quint32 salt) {
    return mix32(quint32(x) * 0x9e3779b1u ^ mix32(quint32(y) + salt));
}

inline int clampInt(int v, int lo, int hi) {
    return v < lo ? lo : (v > hi ? hi : v);
}

// Half-open rectangle [x0, x1) x [y0, y1).
struct Box {
    int x0 = 0, y0 = 0, x1 = 0, y1 = 0;

    int width() const { return x1 - x0; }
    int height() const { return y1 - y0; }
    bool empty() const { return x1 <= x0 || y1 <= y0; }
    Box grown(int d) const { return {x0 - d, y0 - d, x1 + d, y1 + d}; }
    Box intersected(const Box &o) const {
        return {std::max(x0, o.x0), std::max(y0, o.y0), std::min(x1, o.x1), std::min(y1, o.y1)};
    }
};

Box boxAt(int x, int y, int w, int h) {
    return {x, y, x + w, y + h};
}

struct Pen {
    int r, g, b;
};

const Pen kBlack{40, 38, 44};
const Pen kBlue{30, 50, 122};
const Pen kRed{124, 32, 36};
const Pen kGreen{32, 92, 52};

constexpr int kInkMax = 150;    // brightest ink channel
constexpr int kPaperMin = 195;  // darkest paper channel

// Quadrant bits for ring(); y grows downwards.
constexpr int kLowerRight = 1;
constexpr int kLowerLeft = 2;
constexpr int kUpperLeft = 4;
constexpr int kUpperRight = 8;
constexpr int kFullCircle = 15;

// Mask flags kept alongside the image.
constexpr quint8 kInk = 1;
constexpr quint8 kReserved = 2;  // next to a defect; keep other defects away

class Canvas {
public:
    Canvas(int w, int h, quint32 seed, Rng &rng)
        : w_(w), h_(h), image_(w, h, QImage::Format_RGB32), salt_(mix32(seed ^ 0x51ed270bu)) {
        if (image_.isNull()) {
            return;
        }
        mask_.assign(size_t(w) * size_t(h), 0);
        rowTone_ = makeTone(h, rng);
        colTone_ = makeTone(w, rng);
        addCrease(colTone_, rng);
        addCrease(rowTone_, rng);
        // Scanner lid shadow along the left edge.
        for (int x = 0; x < std::min(w, 16); ++x) {
            colTone_[size_t(x)] -= (16 - x) / 2;
        }
        for (int y = 0; y < h_; ++y) {
            auto *line = reinterpret_cast<QRgb *>(image_.scanLine(y));
            for (int x = 0; x < w_; ++x) {
                line[x] = paperAt(x, y);
            }
        }
    }

    bool isNull() const { return image_.isNull(); }
    int width() const { return w_; }
    int height() const { return h_; }
    Box bounds() const { return {0, 0, w_, h_}; }
    QImage image() const { return image_; }

    QRgb paperAt(int x, int y) const {
        const quint32 h = pixelHash(x, y, salt_);
        // Mostly flat paper with a little grain; shared luminance keeps PNGs small.
        int lum = rowTone_[size_t(y)] + colTone_[size_t(x)];
        const quint32 grain = h & 0xff;
        if (grain < 96) {
            lum += int(h >> 8 & 3) - 2;
        } else if (grain < 98) {
            lum -= 10 + int(h >> 10 & 7);  // paper fibre
        }
        const int r = clampInt(243 + lum, kPaperMin, 255);
        const int g = clampInt(239 + lum, kPaperMin, 255);
        const int b = clampInt(227 + lum + int(h >> 12 & 1), kPaperMin, 255);
        return qRgb(r, g, b);
    }

    QRgb inkColour(const Pen &p, int x, int y) const {
        const quint32 h = pixelHash(x, y, ~salt_);
        const int lum = int(h & 15) - 7;
        const int r = clampInt(p.r + lum + int(h >> 4 & 3) - 1, 0, kInkMax);
        const int g = clampInt(p.g + lum + int(h >> 6 & 3) - 1, 0, kInkMax);
        const int b = clampInt(p.b + lum + int(h >> 8 & 3) - 1, 0, kInkMax);
        return qRgb(r, g, b);
    }

    quint8 flags(int x, int y) const {
        if (x < 0 || y < 0 || x >= w_ || y >= h_) {
            return 0;
        }
        return mask_[size_t(y) * size_t(w_) + size_t(x)];
    }

    bool inkAt(int x, int y) const { return flags(x, y) & kInk; }

    void putInk(int x, int y, const Pen &p) {
        if (x < 0 || y < 0 || x >= w_ || y >= h_) {
            return;
        }
        reinterpret_cast<QRgb *>(image_.scanLine(y))[x] = inkColour(p, x, y);
        mask_[size_t(y) * size_t(w_) + size_t(x)] |= kInk;
    }

    void putPaper(int x, int y) {
        if (x < 0 || y < 0 || x >= w_ || y >= h_) {
            return;
        }
        reinterpret_cast<QRgb *>(image_.scanLine(y))[x] = paperAt(x, y);
        mask_[size_t(y) * size_t(w_) + size_t(x)] &= quint8(~kInk);
    }

    // A light mark that stays above the thresholds and so is not in the mask.
    void putFaint(int x, int y, int level) {
        if (x < 0 || y < 0 || x >= w_ || y >= h_ || inkAt(x, y)) {
            return;
        }
        const QRgb p = paperAt(x, y);
        const int v = clampInt(level + int(pixelHash(x, y, salt_ + 7) & 7) - 3, kPaperMin, 255);
        reinterpret_cast<QRgb *>(image_.scanLine(y))[x] =
            qRgb(std::min(qRed(p), v), std::min(qGreen(p), v), std::min(qBlue(p), v + 4));
    }

    void fillBox(Box r, const Pen &p) {
        r = r.intersected(bounds());
        for (int y = r.y0; y < r.y1; ++y) {
            auto *line = reinterpret_cast<QRgb *>(image_.scanLine(y));
            quint8 *m = &mask_[size_t(y) * size_t(w_)];
            for (int x = r.x0; x < r.x1; ++x) {
                line[x] = inkColour(p, x, y);
                m[x] |= kInk;
            }
        }
    }

    void clearBox(Box r) {
        r = r.intersected(bounds());
        for (int y = r.y0; y < r.y1; ++y) {
            for (int x = r.x0; x < r.x1; ++x) {
                putPaper(x, y);
            }
        }
    }

    // Outline of r, t pixels thick, drawn inside r.
    void frameBox(const Box &r, int t, const Pen &p) {
        fillBox({r.x0, r.y0, r.x1, r.y0 + t}, p);
        fillBox({r.x0, r.y1 - t, r.x1, r.y1}, p);
        fillBox({r.x0, r.y0, r.x0 + t, r.y1}, p);
        fillBox({r.x1 - t, r.y0, r.x1, r.y1}, p);
    }

    // Straight stroke with round caps between pixel centres a and b; every
    // pixel whose centre lies within width/2 of the segment is inked. Use odd
    // widths so the stroke is symmetric about the centre line.
    void line(int ax, int ay, int bx, int by, int width, const Pen &p, Box clip) {
        clip = clip.intersected(bounds());
        const int reach = width / 2 + 1;
        const Box box = Box{std::min(ax, bx) - reach, std::min(ay, by) - reach,
                            std::max(ax, bx) + reach + 1, std::max(ay, by) + reach + 1}
                            .intersected(clip);
        if (box.empty()) {
            return;
        }
        // Doubled coordinates keep half-pixel radii integral.
        const qint64 dx = 2 * qint64(bx - ax);
        const qint64 dy = 2 * qint64(by - ay);
        const qint64 len2 = dx * dx + dy * dy;
        const qint64 r2 = qint64(width) * width;
        const bool steep = std::abs(dy) > std::abs(dx);
        auto inside = [&](int x, int y) {
            const qint64 px = 2 * qint64(x - ax);
            const qint64 py = 2 * qint64(y - ay);
            const qint64 t = px * dx + py * dy;
            if (t <= 0 || len2 == 0) {
                return px * px + py * py <= r2;
            }
            if (t >= len2) {
                return (px - dx) * (px - dx) + (py - dy) * (py - dy) <= r2;
            }
            const qint64 cross = px * dy - py * dx;
            return cross * cross <= r2 * len2;
        };
        // Walk the major axis and only test a narrow band around the centre line.
        const int band = width + 2;
        if (steep) {
            for (int y = box.y0; y < box.y1; ++y) {
                const int cy = clampInt(y, std::min(ay, by), std::max(ay, by));
                const int cx = ax + int(qint64(cy - ay) * (bx - ax) / (by - ay));
                const int xa = std::max(box.x0, cx - band);
                const int xb = std::min(box.x1, cx + band + 1);
                for (int x = xa; x < xb; ++x) {
                    if (inside(x, y)) {
                        putInk(x, y, p);
                    }
                }
            }
        } else {
            for (int x = box.x0; x < box.x1; ++x) {
                const int cx = clampInt(x, std::min(ax, bx), std::max(ax, bx));
                const int cy = bx == ax ? ay : ay + int(qint64(cx - ax) * (by - ay) / (bx - ax));
                const int ya = std::max(box.y0, cy - band);
                const int yb = std::min(box.y1, cy + band + 1);
                for (int y = ya; y < yb; ++y) {
                    if (inside(x, y)) {
                        putInk(x, y, p);
                    }
                }
            }
        }
    }

    // Circle (or the quadrants of it selected by `quadrants`) of the given
    // radius, `thickness` pixels across; thickness 0 fills a disc.
    void ring(int cx, int cy, int radius, int thickness, int quadrants, const Pen &p, Box clip) {
        clip = clip.intersected(bounds());
        const int reach = radius + thickness / 2 + 1;
        const Box box =
            Box{cx - reach, cy - reach, cx + reach + 1, cy + reach + 1}.intersected(clip);
        const qint64 inner = thickness > 0 ? std::max(0, 2 * radius - thickness) : 0;
        const qint64 outer = thickness > 0 ? 2 * radius + thickness : 2 * radius + 1;
        for (int y = box.y0; y < box.y1; ++y) {
            const qint64 ddy = 2 * qint64(y - cy);
            for (int x = box.x0; x < box.x1; ++x) {
                const qint64 ddx = 2 * qint64(x - cx);
                const qint64 d2 = ddx * ddx + ddy * ddy;
                if (d2 < inner * inner || d2 > outer * outer) {
                    continue;
                }
                const int dx = x - cx;
                const int dy = y - cy;
                const bool hit = ((quadrants & kLowerRight) && dx >= 0 && dy >= 0) ||
                                 ((quadrants & kLowerLeft) && dx <= 0 && dy >= 0) ||
                                 ((quadrants & kUpperLeft) && dx <= 0 && dy <= 0) ||
                                 ((quadrants & kUpperRight) && dx >= 0 && dy <= 0);
                if (hit) {
                    putInk(x, y, p);
                }
            }
        }
    }

    // Inks every paper pixel in r whose eight neighbours are all ink.
    void sealPinholes(Box r, const Pen &p) {
        r = r.intersected(bounds().grown(-1));
        for (int y = r.y0; y < r.y1; ++y) {
            for (int x = r.x0; x < r.x1; ++x) {
                if (inkAt(x, y)) {
                    continue;
                }
                int neighbours = 0;
                for (int dy = -1; dy <= 1; ++dy) {
                    for (int dx = -1; dx <= 1; ++dx) {
                        neighbours += inkAt(x + dx, y + dy) ? 1 : 0;
                    }
                }
                if (neighbours == 8) {
                    putInk(x, y, p);
                }
            }
        }
    }

    // True when r lies inside the image and is all untouched paper.
    bool isClearPaper(const Box &r) const {
        if (r.x0 < 0 || r.y0 < 0 || r.x1 > w_ || r.y1 > h_) {
            return false;
        }
        for (int y = r.y0; y < r.y1; ++y) {
            const quint8 *m = &mask_[size_t(y) * size_t(w_)];
            for (int x = r.x0; x < r.x1; ++x) {
                if (m[x] != 0) {
                    return false;
                }
            }
        }
        return true;
    }

    bool isAllInk(const Box &r) const {
        if (r.x0 < 0 || r.y0 < 0 || r.x1 > w_ || r.y1 > h_) {
            return false;
        }
        for (int y = r.y0; y < r.y1; ++y) {
            for (int x = r.x0; x < r.x1; ++x) {
                if (!inkAt(x, y)) {
                    return false;
                }
            }
        }
        return true;
    }

    bool isUnreserved(Box r) const {
        r = r.intersected(bounds());
        for (int y = r.y0; y < r.y1; ++y) {
            for (int x = r.x0; x < r.x1; ++x) {
                if (flags(x, y) & kReserved) {
                    return false;
                }
            }
        }
        return true;
    }

    void reserve(Box r) {
        r = r.intersected(bounds());
        for (int y = r.y0; y < r.y1; ++y) {
            for (int x = r.x0; x < r.x1; ++x) {
                mask_[size_t(y) * size_t(w_) + size_t(x)] |= kReserved;
            }
        }
    }

private:
    // Slowly varying paper tone: value noise with knots every 128 px.
    static std::vector<int> makeTone(int n, Rng &rng) {
        constexpr int kStep = 128;
        std::vector<int> knots(size_t(n / kStep + 2));
        for (int &k : knots) {
            k = rng.range(-4, 3);
        }
        std::vector<int> tone(static_cast<size_t>(n));
        for (int i = 0; i < n; ++i) {
            const int k = i / kStep;
            const int f = i % kStep;
            tone[size_t(i)] = (knots[size_t(k)] * (kStep - f) + knots[size_t(k) + 1] * f) / kStep;
        }
        return tone;
    }

    // A fold in the paper: a faint darker band with a lighter edge.
    static void addCrease(std::vector<int> &tone, Rng &rng) {
        const int n = int(tone.size());
        if (n < 64) {
            return;
        }
        const int at = n / 2 + rng.range(-n / 20, n / 20);
        const int profile[] = {-4, -10, -16, -12, -5, 3, 2};
        for (int i = 0; i < 7; ++i) {
            tone[size_t(at + i)] += profile[i];
        }
    }

    int w_, h_;
    QImage image_;
    quint32 salt_;
    std::vector<quint8> mask_;
    std::vector<int> rowTone_, colTone_;
};

// Seven-segment lettering for room numbers, dimensions and axis labels. Bits:
// 1 top, 2 upper right, 4 lower right, 8 bottom, 16 lower left, 32 upper left,
// 64 middle. Letters that have no seven-segment form are approximated.
int glyphBits(char c) {
    static const char kChars[] = "0123456789ABCDEFHILNOPRSTU-";
    static const quint8 kBits[] = {0x3f, 0x06, 0x5b, 0x4f, 0x66, 0x6d, 0x7d, 0x07, 0x7f,
                                   0x6f, 0x77, 0x7c, 0x39, 0x5e, 0x79, 0x71, 0x76, 0x06,
                                   0x38, 0x54, 0x3f, 0x73, 0x50, 0x6d, 0x78, 0x3e, 0x40};
    static_assert(sizeof(kChars) - 1 == sizeof(kBits));
    for (size_t i = 0; i < sizeof(kBits); ++i) {
        if (kChars[i] == c) {
            return kBits[i];
        }
    }
    return 0;  // space and anything unknown
}

// Draws text with glyphs `height` px tall and 2 px strokes.
void drawText(Canvas &c, int x, int y, int height, const QByteArray &text, const Pen &p) {
    constexpr int s = 2;
    const int gw = std::max(5, height * 4 / 7);
    const int mid = (height - s) / 2;
    for (const char ch : text) {
        const int bits = glyphBits(ch);
        const Box segments[7] = {
            boxAt(x, y, gw, s),                         // top
            boxAt(x + gw - s, y, s, mid + s),           // upper right
            {x + gw - s, y + mid, x + gw, y + height},  // lower right
            boxAt(x, y + height - s, gw, s),            // bottom
            {x, y + mid, x + s, y + height},            // lower left
            boxAt(x, y, s, mid + s),                    // upper left
            boxAt(x, y + mid, gw, s),                   // middle
        };
        for (int i = 0; i < 7; ++i) {
            if (bits & (1 << i)) {
                c.fillBox(segments[i], p);
            }
        }
        x += gw + 4;
    }
}

int textWidth(int height, const QByteArray &text) {
    return int(text.size()) * (std::max(5, height * 4 / 7) + 4);
}

class PlanDrawer {
public:
    PlanDrawer(Canvas &canvas, Rng &rng) : c_(canvas), rng_(rng) {}

    void draw() {
        const int w = c_.width();
        const int h = c_.height();
        pencilMarks();
        Box area = c_.bounds();
        if (w >= 160 && h >= 160) {
            const Box outer = c_.bounds().grown(-10);
            c_.frameBox(outer, 5, jitter(kBlack));
            noteStroke(outer.x0, outer.y0, outer.x0 + 5, outer.y1);
            noteStroke(outer.x1 - 5, outer.y0, outer.x1, outer.y1);
            const Box inner = outer.grown(-9);
            c_.frameBox(inner, 2, jitter(kBlack));
            area = inner.grown(-8);
        }
        Box title;
        if (area.width() >= 300 && area.height() >= 200) {
            const int tw = std::min(320, area.width() / 3);
            const int th = std::min(100, area.height() / 4);
            title = {area.x1 - tw, area.y1 - th, area.x1, area.y1};
        }
        drawCells(area, title);
        if (!title.empty()) {
            titleBlock(title);
        }
        addDefects();
    }

private:
    Pen jitter(const Pen &p) {
        const int d = rng_.range(-8, 8);
        return {clampInt(p.r + d, 0, 135), clampInt(p.g + d, 0, 135), clampInt(p.b + d, 0, 135)};
    }

    // Remembers long axis-aligned strokes; the defect passes work on them.
    void noteStroke(int x0, int y0, int x1, int y1) {
        const Box b{x0, y0, x1, y1};
        if (b.height() >= 16 && b.height() >= 3 * b.width() && b.width() >= 2) {
            vertical_.push_back(b);
        } else if (b.width() >= 16 && b.width() >= 3 * b.height() && b.height() >= 2) {
            horizontal_.push_back(b);
        }
    }

    void stroke(const Box &b, const Pen &p) {
        c_.fillBox(b, p);
        noteStroke(b.x0, b.y0, b.x1, b.y1);
    }

    qint64 area() const { return qint64(c_.width()) * c_.height(); }

    // Per-megapixel rate scaled to the image, at least one.
    int perMegapixel(int rate) const { return int(std::max<qint64>(1, area() * rate / 1000000)); }

    void pencilMarks() {
        const int n = perMegapixel(6);
        for (int i = 0; i < n; ++i) {
            const int x = rng_.range(0, c_.width() - 1);
            const int y = rng_.range(0, c_.height() - 1);
            const int len = rng_.range(40, 400);
            const int level = rng_.range(200, 215);
            const bool horizontal = rng_.chance(50);
            for (int k = 0; k < len; ++k) {
                // Slight wobble, as from a hand-held pencil.
                const int wob = int(pixelHash(k / 23, i, 99) % 3) - 1;
                if (horizontal) {
                    c_.putFaint(x + k, y + wob, level);
                } else {
                    c_.putFaint(x + wob, y + k, level);
                }
            }
        }
    }

    // Tiles the sheet with buildings and open ground, keeping clear of the title block.
    void drawCells(const Box &area, const Box &title) {
        if (area.width() < 60 || area.height() < 60) {
            return;
        }
        constexpr int kCell = 440;
        const int nx = std::max(1, (area.width() + kCell / 2) / kCell);
        const int ny = std::max(1, (area.height() + kCell / 2) / kCell);
        const auto gridX = [&](int i) { return area.x0 + area.width() * i / nx; };
        const auto gridY = [&](int j) { return area.y0 + area.height() * j / ny; };
        std::vector<bool> used(size_t(nx) * size_t(ny), false);
        const auto isUsed = [&](int i, int j) { return used[size_t(j) * size_t(nx) + size_t(i)]; };
        const int forcedSite = rng_.range(0, nx * ny - 1);
        for (int j = 0; j < ny; ++j) {
            for (int i = 0; i < nx; ++i) {
                if (isUsed(i, j)) {
                    continue;
                }
                // On larger sheets a building now and then spans two cells, or four.
                const bool merge = nx >= 3 && ny >= 3;
                int spanX = 1;
                int spanY = 1;
                if (merge && i + 1 < nx && !isUsed(i + 1, j) && rng_.chance(20)) {
                    spanX = 2;
                }
                if (merge && j + 1 < ny && rng_.chance(12)) {
                    spanY = 2;
                }
                bool forced = false;
                for (int v = j; v < j + spanY; ++v) {
                    for (int u = i; u < i + spanX; ++u) {
                        used[size_t(v) * size_t(nx) + size_t(u)] = true;
                        forced = forced || v * nx + u == forcedSite;
                    }
                }
                Box cell{gridX(i), gridY(j), gridX(i + spanX), gridY(j + spanY)};
                if (!cell.intersected(title.grown(8)).empty()) {
                    Box above = cell;
                    above.y1 = std::min(cell.y1, title.y0 - 8);
                    Box beside = cell;
                    beside.x1 = std::min(cell.x1, title.x0 - 8);
                    const qint64 aboveArea = qint64(std::max(0, above.width())) * above.height();
                    const qint64 besideArea = qint64(beside.width()) * std::max(0, beside.height());
                    cell = aboveArea >= besideArea ? above : beside;
                }
                const bool single = spanX == 1 && spanY == 1;
                const bool site = single && ((forced && nx * ny > 1) || rng_.chance(22));
                if (site || !building(cell)) {
                    siteCell(cell.grown(-6));
                }
            }
        }
    }

    // A walled building split into rooms; false if the cell is too small.
    bool building(const Box &cell) {
        Box b{cell.x0 + 40, cell.y0 + 40, cell.x1 - 12, cell.y1 - 12};
        if (b.width() < 130 || b.height() < 130) {
            return false;
        }
        b.x0 += rng_.range(0, b.width() / 10);
        b.y0 += rng_.range(0, b.height() / 10);
        b.x1 -= rng_.range(0, b.width() / 10);
        b.y1 -= rng_.range(0, b.height() / 10);

        constexpr int T = 6;
        const Pen wallPen = jitter(kBlack);
        stroke({b.x0, b.y0, b.x1, b.y0 + T}, wallPen);
        stroke({b.x0, b.y1 - T, b.x1, b.y1}, wallPen);
        stroke({b.x0, b.y0, b.x0 + T, b.y1}, wallPen);
        stroke({b.x1 - T, b.y0, b.x1, b.y1}, wallPen);

        // Walls first, then door leaves where they have room to swing, then furniture.
        rooms_.clear();
        doors_.clear();
        split(b.grown(-T), 0);
        for (const Door &d : doors_) {
            hangDoor(d);
        }
        for (const Box &room : rooms_) {
            furnish(room);
        }
        windows(b, T);
        dimensions(b);
        return true;
    }

    // A doorway `width` px long starting at `start` along an interior wall that is
    // `thickness` px thick and whose left (or top) face is at `face`.
    struct Door {
        bool inVerticalWall;
        int face, thickness, start, width;
    };

    // Recursively divides r into rooms with interior walls, each with a doorway.
    void split(const Box &r, int depth) {
        constexpr int kMinRoom = 52;
        const int t = rng_.range(3, 4);
        const bool canV = r.width() >= 2 * kMinRoom + t;
        const bool canH = r.height() >= 2 * kMinRoom + t;
        const bool large = r.width() > 180 || r.height() > 180;
        const bool want = large || (depth < 3 && rng_.chance(45));
        if (!want || (!canV && !canH)) {
            rooms_.push_back(r);
            return;
        }
        const bool vertical = canV && (!canH || (r.width() > r.height()) != rng_.chance(15));
        const Pen pen = jitter(kBlack);
        const int g = rng_.range(18, 26);
        if (vertical) {
            const int p = rng_.range(r.x0 + kMinRoom, r.x1 - kMinRoom - t);
            const int gy = rng_.range(r.y0 + 6, r.y1 - 6 - g);
            stroke({p, r.y0, p + t, gy}, pen);
            stroke({p, gy + g, p + t, r.y1}, pen);
            doors_.push_back({true, p, t, gy, g});
            split({r.x0, r.y0, p, r.y1}, depth + 1);
            split({p + t, r.y0, r.x1, r.y1}, depth + 1);
        } else {
            const int p = rng_.range(r.y0 + kMinRoom, r.y1 - kMinRoom - t);
            const int gx = rng_.range(r.x0 + 6, r.x1 - 6 - g);
            stroke({r.x0, p, gx, p + t}, pen);
            stroke({gx + g, p, r.x1, p + t}, pen);
            doors_.push_back({false, p, t, gx, g});
            split({r.x0, r.y0, r.x1, p}, depth + 1);
            split({r.x0, p + t, r.x1, r.y1}, depth + 1);
        }
    }

    // Draws the leaf and swing arc of a door on whichever side of the wall is free;
    // leaves a plain opening if neither is (or now and then anyway).
    void hangDoor(const Door &d) {
        if (rng_.chance(15)) {
            return;
        }
        const Pen pen = jitter(kBlue);
        const int p = d.face;
        const int t = d.thickness;
        const int s = d.start;
        const int g = d.width;
        const bool firstSide = rng_.chance(50);
        for (int k = 0; k < 2; ++k) {
            const bool after = (k == 0) == firstSide;  // right of / below the wall
            Box swing, leaf;
            int cx, cy, quadrant;
            // The swing area (the arc reaches g + 2) plus a margin on the three sides
            // away from the wall.
            if (d.inVerticalWall) {
                swing = after ? Box{p + t, s - 6, p + t + g + 6, s + g + 6}
                              : Box{p - g - 6, s - 6, p, s + g + 6};
                leaf = after ? Box{p + t, s, p + t + g, s + 3} : Box{p - g, s, p, s + 3};
                cx = after ? p + t : p - 1;
                cy = s;
                quadrant = after ? kLowerRight : kLowerLeft;
            } else {
                swing = after ? Box{s - 6, p + t, s + g + 6, p + t + g + 6}
                              : Box{s - 6, p - g - 6, s + g + 6, p};
                leaf = after ? Box{s, p + t, s + 3, p + t + g} : Box{s, p - g, s + 3, p};
                cx = s;
                cy = after ? p + t : p - 1;
                quadrant = after ? kLowerRight : kUpperRight;
            }
            if (c_.isClearPaper(swing)) {
                c_.fillBox(leaf, pen);
                c_.ring(cx, cy, g, 3, quadrant, pen, swing);
                return;
            }
        }
    }

    // Finds a free spot of the given size inside r, keeping `gap` px of paper around it.
    bool findSpot(const Box &r, int w, int h, int gap, Box &out) {
        if (r.width() < w + 2 * gap || r.height() < h + 2 * gap) {
            return false;
        }
        for (int attempt = 0; attempt < 12; ++attempt) {
            const int x = rng_.range(r.x0 + gap, r.x1 - gap - w);
            const int y = rng_.range(r.y0 + gap, r.y1 - gap - h);
            const Box b = boxAt(x, y, w, h);
            if (c_.isClearPaper(b.grown(gap))) {
                out = b;
                return true;
            }
        }
        return false;
    }

    void furnish(const Box &room) {
        const Box inside = room.grown(-4);
        Box spot;
        switch (rng_.range(0, 5)) {
            case 0:
            case 1:  // table with chairs
            {
                const int rad = rng_.range(9, 17);
                const int span = 2 * rad + 24;
                if (findSpot(inside, span, span, 3, spot)) {
                    const int cx = spot.x0 + span / 2;
                    const int cy = spot.y0 + span / 2;
                    const Pen pen = jitter(kGreen);
                    c_.ring(cx, cy, rad, 3, kFullCircle, pen, spot);
                    const int d = rad + 8;
                    c_.frameBox(boxAt(cx - 3, cy - d - 3, 7, 7), 2, pen);
                    c_.frameBox(boxAt(cx - 3, cy + d - 3, 7, 7), 2, pen);
                    c_.frameBox(boxAt(cx - d - 3, cy - 3, 7, 7), 2, pen);
                    c_.frameBox(boxAt(cx + d - 3, cy - 3, 7, 7), 2, pen);
                }
                break;
            }
            case 2:  // stairs: outline with diagonal hatching
            {
                const int sw = rng_.range(30, 60);
                const int sh = rng_.range(50, 100);
                if (findSpot(inside, sw, sh, 3, spot)) {
                    const Pen pen = jitter(kBlue);
                    c_.frameBox(spot, 2, pen);
                    const Box hatch = spot.grown(-2);
                    const int step = rng_.range(9, 13);
                    for (int x = spot.x0 - sh; x < spot.x1; x += step) {
                        c_.line(x, spot.y1, x + sh, spot.y0, 3, pen, hatch);
                    }
                    // A hatch line grazing a corner can leave a lone paper pixel.
                    c_.sealPinholes(hatch, pen);
                }
                break;
            }
            case 3:  // counter or bed
            {
                const int bw = rng_.range(24, 50);
                const int bh = rng_.range(30, 70);
                if (findSpot(inside, bw, bh, 3, spot)) {
                    const Pen pen = jitter(kBlack);
                    c_.frameBox(spot, 3, pen);
                    noteStroke(spot.x0, spot.y0, spot.x0 + 3, spot.y1);
                    noteStroke(spot.x1 - 3, spot.y0, spot.x1, spot.y1);
                    c_.frameBox(boxAt(spot.x0 + 5, spot.y0 + 5, bw - 10, 10), 2, pen);
                }
                break;
            }
            case 4:  // column
            {
                if (findSpot(inside, 12, 12, 6, spot)) {
                    c_.fillBox(spot, jitter(kBlack));
                }
                break;
            }
            default:
                break;
        }
        // The room number goes wherever there is space left.
        const QByteArray label = QByteArray::number(++roomNumber_);
        if (findSpot(inside, textWidth(14, label), 14, 4, spot)) {
            drawText(c_, spot.x0, spot.y0, 14, label, jitter(kBlue));
        }
    }

    // Windows in the outer walls: the wall is cut and spanned by a thin line.
    void windows(const Box &b, int T) {
        const int perSide = std::max(1, (b.width() + b.height()) / 260);
        for (int side = 0; side < 4; ++side) {
            const bool horizontal = side < 2;
            const int len = horizontal ? b.width() : b.height();
            for (int k = 0; k < perSide; ++k) {
                const int wl = rng_.range(24, 44);
                if (len < wl + 40) {
                    continue;
                }
                const int pos = rng_.range(20, len - 20 - wl);
                Box cut;
                Box innerEdge;
                if (horizontal) {
                    const int y0 = side == 0 ? b.y0 : b.y1 - T;
                    cut = {b.x0 + pos, y0, b.x0 + pos + wl, y0 + T};
                    innerEdge = side == 0 ? Box{cut.x0 - 4, cut.y1, cut.x1 + 4, cut.y1 + 3}
                                          : Box{cut.x0 - 4, cut.y0 - 3, cut.x1 + 4, cut.y0};
                } else {
                    const int x0 = side == 2 ? b.x0 : b.x1 - T;
                    cut = {x0, b.y0 + pos, x0 + T, b.y0 + pos + wl};
                    innerEdge = side == 2 ? Box{cut.x1, cut.y0 - 4, cut.x1 + 3, cut.y1 + 4}
                                          : Box{cut.x0 - 3, cut.y0 - 4, cut.x0, cut.y1 + 4};
                }
                // Skip spots where an inner wall meets the wall or that come within a
                // few pixels of a previous window.
                const Box solid = horizontal ? Box{cut.x0 - 6, cut.y0, cut.x1 + 6, cut.y1}
                                             : Box{cut.x0, cut.y0 - 6, cut.x1, cut.y1 + 6};
                if (!c_.isClearPaper(innerEdge) || !c_.isAllInk(solid)) {
                    continue;
                }
                c_.clearBox(cut);
                // The glass: a thin line along the outer face of the wall.
                const Pen pen = jitter(kBlack);
                switch (side) {
                    case 0:
                        c_.fillBox({cut.x0, cut.y0, cut.x1, cut.y0 + 2}, pen);
                        break;
                    case 1:
                        c_.fillBox({cut.x0, cut.y1 - 2, cut.x1, cut.y1}, pen);
                        break;
                    case 2:
                        c_.fillBox({cut.x0, cut.y0, cut.x0 + 2, cut.y1}, pen);
                        break;
                    default:
                        c_.fillBox({cut.x1 - 2, cut.y0, cut.x1, cut.y1}, pen);
                        break;
                }
            }
        }
    }

    // Red dimension chains above and to the left of a building.
    void dimensions(const Box &b) {
        const Pen pen = jitter(kRed);
        const Box all = c_.bounds();
        // Horizontal chain.
        const int dy = b.y0 - 18;
        c_.fillBox({b.x0 - 6, dy, b.x1 + 6, dy + 2}, pen);
        stroke({b.x0, dy - 8, b.x0 + 2, b.y0 - 4}, pen);
        stroke({b.x1 - 2, dy - 8, b.x1, b.y0 - 4}, pen);
        c_.line(b.x0 - 4, dy + 5, b.x0 + 5, dy - 4, 3, pen, all);
        c_.line(b.x1 - 5, dy + 5, b.x1 + 4, dy - 4, 3, pen, all);
        const QByteArray label = QByteArray::number(b.width() * 5);
        const int tw = textWidth(12, label);
        drawText(c_, (b.x0 + b.x1 - tw) / 2, dy - 16, 12, label, pen);
        // Vertical chain.
        const int dx = b.x0 - 18;
        c_.fillBox({dx, b.y0 - 6, dx + 2, b.y1 + 6}, pen);
        stroke({dx - 8, b.y0, b.x0 - 4, b.y0 + 2}, pen);
        stroke({dx - 8, b.y1 - 2, b.x0 - 4, b.y1}, pen);
        c_.line(dx - 4, b.y0 + 5, dx + 5, b.y0 - 4, 3, pen, all);
        c_.line(dx - 4, b.y1 + 4, dx + 5, b.y1 - 5, 3, pen, all);
    }

    // Open ground: a path crossing diagonally, trees, and sometimes a column grid.
    void siteCell(const Box &cell) {
        if (cell.width() < 40 || cell.height() < 40) {
            return;
        }
        // Two parallel lines running corner to corner, ending inside the cell.
        const Pen pathPen = jitter(rng_.chance(50) ? kGreen : kBlack);
        const int gap = rng_.range(16, 26);
        const Box inner = cell.grown(-4);
        if (inner.width() > 3 * gap) {
            const bool falling = rng_.chance(50);
            const int ax = inner.x0 + rng_.range(0, inner.width() / 3);
            const int bx = inner.x1 - 1 - gap - rng_.range(0, inner.width() / 3);
            const int ay = falling ? inner.y0 : inner.y1 - 1;
            const int by = falling ? inner.y1 - 1 : inner.y0;
            c_.line(ax, ay, bx, by, 3, pathPen, cell);
            c_.line(ax + gap, ay, bx + gap, by, 3, pathPen, cell);
        }

        if (rng_.chance(50) && cell.width() > 200 && cell.height() > 200) {
            columnGrid(cell.grown(-20));
        }

        const int trees = int(qint64(cell.width()) * cell.height() / 9000);
        for (int i = 0; i < trees; ++i) {
            const int rad = rng_.range(7, 16);
            Box spot;
            if (findSpot(cell, 2 * rad + 5, 2 * rad + 5, 3, spot)) {
                const int cx = spot.x0 + rad + 2;
                const int cy = spot.y0 + rad + 2;
                const Pen pen = jitter(kGreen);
                c_.ring(cx, cy, rad, 3, kFullCircle, pen, spot);
                c_.ring(cx, cy, 2, 0, kFullCircle, pen, spot);
            }
        }
    }

    // Structural grid: square columns on dashed, lettered axes. Anything already
    // drawn there wins; the grid breaks around it.
    void columnGrid(const Box &r) {
        const int step = rng_.range(70, 110);
        const Pen axisPen = jitter(kBlue);
        const Pen colPen = jitter(kBlack);
        for (int y = r.y0 + 30; y + 10 < r.y1; y += step) {
            for (int x = r.x0 + 20; x + 20 < r.x1; x += step) {
                const Box column{x - 4, y - 4, x + 6, y + 6};
                if (c_.isClearPaper(column.grown(3))) {
                    c_.fillBox(column, colPen);
                }
            }
        }
        char name = 'A';
        for (int x = r.x0 + 20; x + 20 < r.x1; x += step, ++name) {
            const Box head = boxAt(x - 10, r.y0 - 12, 23, 23);
            if (c_.isClearPaper(head.grown(2))) {
                c_.ring(x + 1, r.y0 - 1, 9, 3, kFullCircle, axisPen, head);
                if (glyphBits(name) != 0) {
                    drawText(c_, x - 2, r.y0 - 6, 10, QByteArray(1, name), axisPen);
                }
            }
            for (int y = r.y0 + 14; y < r.y1; y += 18) {
                const Box dash{x, y, x + 2, std::min(y + 11, r.y1)};
                if (c_.isClearPaper(dash.grown(2))) {
                    c_.fillBox(dash, axisPen);
                }
            }
        }
    }

    void titleBlock(const Box &tb) {
        const int tw = tb.width();
        const int th = tb.height();
        c_.clearBox(tb.grown(6));
        const Pen pen = jitter(kBlack);
        c_.frameBox(tb, 3, pen);
        noteStroke(tb.x0, tb.y0, tb.x0 + 3, tb.y1);
        const int split = tb.y0 + th * 3 / 5;
        c_.fillBox({tb.x0, split, tb.x1, split + 2}, pen);
        c_.fillBox({tb.x0 + tw * 2 / 3, split, tb.x0 + tw * 2 / 3 + 2, tb.y1}, pen);
        const int big = std::min(20, (split - tb.y0) - 14);
        if (big >= 8) {
            drawText(c_, tb.x0 + 10, tb.y0 + 8, big, "PLAN 1-100", jitter(kBlue));
        }
        const int small = std::min(12, (tb.y1 - split) - 10);
        if (small >= 7) {
            drawText(c_, tb.x0 + 10, split + 6, small, "A-101", pen);
            // Separate statements: argument evaluation order differs between compilers.
            const QByteArray sheet = QByteArray::number(rng_.range(1, 99));
            drawText(c_, tb.x0 + tw * 2 / 3 + 10, split + 6, small, sheet, jitter(kRed));
        }
    }

    // ---- Scan defects ----

    void addDefects() {
        // Each kind is placed by rejection sampling with a bounded number of tries.
        auto place = [](int wanted, auto &&tryOne) {
            for (int tries = wanted * 40; tries > 0 && wanted > 0; --tries) {
                wanted -= tryOne() ? 1 : 0;
            }
        };
        place(perMegapixel(60), [this] { return pinhole(); });
        place(perMegapixel(40), [this] { return notch(); });
        place(perMegapixel(20), [this] { return crack(); });
        place(perMegapixel(30), [this] { return spur(); });
        place(perMegapixel(80), [this] { return dot(); });
    }

    const Box *pickStroke(const std::vector<Box> &strokes) {
        if (strokes.empty()) {
            return nullptr;
        }
        return &strokes[size_t(rng_.range(0, int(strokes.size()) - 1))];
    }

    // A single paper pixel with all eight neighbours inked.
    bool pinhole() {
        const bool useVertical = rng_.chance(50) ? !vertical_.empty() : horizontal_.empty();
        const Box *s = pickStroke(useVertical ? vertical_ : horizontal_);
        if (!s || s->width() < 3 || s->height() < 3) {
            return false;
        }
        const int x = rng_.range(s->x0 + 1, s->x1 - 2);
        const int y = rng_.range(s->y0 + 1, s->y1 - 2);
        if (!c_.isAllInk(boxAt(x - 1, y - 1, 3, 3)) ||
            !c_.isUnreserved(boxAt(x - 2, y - 2, 5, 5))) {
            return false;
        }
        c_.putPaper(x, y);
        c_.reserve(boxAt(x - 2, y - 2, 5, 5));
        return true;
    }

    // One pixel bitten out of the left or right edge of a vertical stroke.
    bool notch() {
        const Box *s = pickStroke(vertical_);
        if (!s || s->height() < 10) {
            return false;
        }
        const bool left = rng_.chance(50);
        const int x = left ? s->x0 : s->x1 - 1;
        const int in = left ? x + 1 : x - 1;
        const int y = rng_.range(s->y0 + 3, s->y1 - 4);
        const Box edge = boxAt(x, y - 1, 1, 3);
        const Box outside = boxAt(left ? x - 3 : x + 1, y - 2, 3, 5);
        if (!c_.isAllInk(edge) || !c_.inkAt(in, y) || !c_.isClearPaper(outside) ||
            !c_.isUnreserved(boxAt(x - 2, y - 2, 5, 5))) {
            return false;
        }
        c_.putPaper(x, y);
        c_.reserve(boxAt(x - 2, y - 2, 5, 5));
        return true;
    }

    // A two-pixel-high paper gap right across a vertical stroke.
    bool crack() {
        const Box *s = pickStroke(vertical_);
        if (!s || s->width() < 3 || s->height() < 14) {
            return false;
        }
        const int y = rng_.range(s->y0 + 4, s->y1 - 6);
        const Box body{s->x0, y - 2, s->x1, y + 4};
        const Box sides[] = {{s->x0 - 3, y - 2, s->x0, y + 4}, {s->x1, y - 2, s->x1 + 3, y + 4}};
        if (!c_.isAllInk(body) || !c_.isClearPaper(sides[0]) || !c_.isClearPaper(sides[1]) ||
            !c_.isUnreserved(body.grown(2))) {
            return false;
        }
        c_.clearBox({s->x0, y, s->x1, y + 2});
        c_.reserve(body.grown(2));
        return true;
    }

    // A short one-pixel-wide hair sticking straight out of a stroke.
    bool spur() {
        const bool fromVertical = rng_.chance(50) ? !vertical_.empty() : horizontal_.empty();
        const Box *s = pickStroke(fromVertical ? vertical_ : horizontal_);
        if (!s) {
            return false;
        }
        const int len = rng_.range(2, 6);
        const bool before = rng_.chance(50);  // left of / above the stroke
        Box hair;
        Box root;
        if (fromVertical) {
            const int y = rng_.range(s->y0 + 3, s->y1 - 4);
            hair = before ? Box{s->x0 - len, y, s->x0, y + 1} : Box{s->x1, y, s->x1 + len, y + 1};
            root = before ? boxAt(s->x0, y, 1, 1) : boxAt(s->x1 - 1, y, 1, 1);
        } else {
            const int x = rng_.range(s->x0 + 3, s->x1 - 4);
            hair = before ? Box{x, s->y0 - len, x + 1, s->y0} : Box{x, s->y1, x + 1, s->y1 + len};
            root = before ? boxAt(x, s->y0, 1, 1) : boxAt(x, s->y1 - 1, 1, 1);
        }
        // The hair and a three-pixel margin around it (except where it joins the
        // stroke) must be clear paper.
        Box margin = hair.grown(3);
        if (fromVertical) {
            (before ? margin.x1 : margin.x0) = before ? hair.x1 : hair.x0;
        } else {
            (before ? margin.y1 : margin.y0) = before ? hair.y1 : hair.y0;
        }
        if (!c_.isAllInk(root) || !c_.isClearPaper(margin) || !c_.isUnreserved(root.grown(2))) {
            return false;
        }
        const Pen pen = jitter(kBlack);
        c_.fillBox(hair, pen);
        c_.reserve(margin);
        c_.reserve(root.grown(2));
        return true;
    }

    // An isolated one-pixel ink dot on clear paper.
    bool dot() {
        const int x = rng_.range(3, c_.width() - 4);
        const int y = rng_.range(3, c_.height() - 4);
        const Box around = boxAt(x - 3, y - 3, 7, 7);
        if (!c_.isClearPaper(around)) {
            return false;
        }
        static const Pen kPens[] = {kBlack, kBlack, kBlue, kRed, kGreen};
        c_.putInk(x, y, jitter(kPens[rng_.range(0, 4)]));
        c_.reserve(around);
        return true;
    }

    Canvas &c_;
    Rng &rng_;
    std::vector<Box> vertical_;
    std::vector<Box> horizontal_;
    std::vector<Box> rooms_;
    std::vector<Door> doors_;
    int roomNumber_ = 100;
};

}  // namespace

QImage makeSampleScan(int width, int height, quint32 seed) {
    return makeSampleScan(width, height, seed, SamplePaper::Plain).scan;
}

SampleScan makeSampleScan(int width, int height, quint32 seed, SamplePaper paper) {
    if (width <= 0 || height <= 0) {
        return {};
    }
    Rng rng(seed);
    Canvas canvas(width, height, seed, rng);
    if (canvas.isNull()) {
        return {};
    }
    PlanDrawer(canvas, rng).draw();
    SampleScan result{canvas.image(), QImage(width, height, QImage::Format_Grayscale8)};
    if (result.truth.isNull()) {
        return {};
    }
    for (int y = 0; y < height; ++y) {
        uchar *line = result.truth.scanLine(y);
        for (int x = 0; x < width; ++x) {
            line[x] = canvas.inkAt(x, y) ? 0 : 255;
        }
    }
    // The light reaching each pixel, in 1/1024: a scan's light multiplies
    // what the paper and the ink reflect.
    const auto relight = [&](auto light) {
        for (int y = 0; y < height; ++y) {
            auto *line = reinterpret_cast<QRgb *>(result.scan.scanLine(y));
            for (int x = 0; x < width; ++x) {
                const QRgb p = line[x];
                const std::array<int, 3> l = light(x, y);
                line[x] =
                    qRgb(qRed(p) * l[0] / 1024, qGreen(p) * l[1] / 1024, qBlue(p) * l[2] / 1024);
            }
        }
    };
    switch (paper) {
        case SamplePaper::Plain:
            break;
        case SamplePaper::Shaded: {
            // A lamp over a fifth of the width and a third of the height; the
            // light falls with the squared distance from it, to 1 - 580/1024
            // of the squared diagonal.
            const qint64 lx = width / 5;
            const qint64 ly = height / 3;
            const qint64 diagonal2 = qint64(width) * width + qint64(height) * height;
            relight([&](int x, int y) {
                const qint64 d2 = (x - lx) * (x - lx) + (y - ly) * (y - ly);
                const int l = int(1024 - 580 * d2 / diagonal2);
                return std::array<int, 3>{l, l, l};
            });
            break;
        }
        case SamplePaper::Yellowed:
            relight([](int, int) { return std::array<int, 3>{737, 676, 512}; });
            break;
    }
    return result;
}

}  // namespace ink
