#include "terminal_view.h"

#include <QFontMetrics>
#include <QGuiApplication>
#include <QPaintEvent>
#include <QPainter>
#include <QPaintEngine>
#include <QPixmap>
#include <array>
#include <cmath>
#include <cstring>

#include "cp437.h"
#include "paint_latency.h"
#include "progress_panel.h"
#include "session/session.h"
#include "session/terminal.h"
#include "session/tick.h"

namespace dl::gui {

// The session window class's background, RGB(64, 128, 192).
const QColor TerminalView::background(64, 128, 192);

QColor TerminalView::cellBackground() {
    return QGuiApplication::palette().color(QPalette::Base);
}

namespace {

QColor fromColorRef(uint32_t c) {
    return QColor(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF);
}

// One string per byte, made once: painting must not build them per cell.
const std::array<QString, 256>& glyphs() {
    static const std::array<QString, 256> table = [] {
        std::array<QString, 256> t;
        for (int b = 0; b < 256; ++b) t[b] = QString(cp437ToChar(static_cast<uint8_t>(b)));
        return t;
    }();
    return table;
}

bool blank(uint8_t b) {
    return b == ' ' || b == 0x00 || b == 0xFF;
}

// Every glyph drawn once, in a 16 x 16 grid of cells on the screen's background, so that a paint
// copies cells instead of laying out text: a console at 3 Mbaud scrolls the whole screen every frame.
// Remade when a colour, the cell size or the pixel ratio changes. GUI thread only.
const QPixmap& glyphAtlas(QColor text, QColor paper, QSize cell, qreal ratio) {
    static QPixmap atlas;
    static QColor madeFor, madeOn;
    static QSize madeCell;
    static qreal madeRatio = 0;
    if (!atlas.isNull() && madeFor == text && madeOn == paper && madeCell == cell && madeRatio == ratio)
        return atlas;
    atlas = QPixmap(QSize(cell.width() * 16, cell.height() * 16) * ratio);
    atlas.setDevicePixelRatio(ratio);
    atlas.fill(paper);
    QPainter p(&atlas);
    const QFont font = TerminalView::terminalFont();
    p.setFont(font);
    p.setPen(text);
    p.setClipping(true);
    const int ascent = QFontMetrics(font).ascent();
    const auto& g = glyphs();
    for (int b = 0; b < 256; ++b) {
        if (blank(static_cast<uint8_t>(b))) continue;
        const QRect home((b % 16) * cell.width(), (b / 16) * cell.height(), cell.width(), cell.height());
        p.setClipRect(home);  // a glyph wider than its cell must not reach its neighbour's
        p.drawText(home.left(), home.top() + ascent, g[static_cast<size_t>(b)]);
    }
    madeFor = text;
    madeOn = paper;
    madeCell = cell;
    madeRatio = ratio;
    return atlas;
}

// The atlas's pixels in a format a paint target holds, for copying glyphs straight into it.
const QImage& atlasPixels(const QPixmap& atlas, QImage::Format format) {
    static QImage pixels;
    static qint64 madeOf = 0;
    if (madeOf != atlas.cacheKey() || pixels.format() != format) {
        pixels = atlas.toImage().convertToFormat(format);
        madeOf = atlas.cacheKey();
    }
    return pixels;
}

}  // namespace

// Where a paint may copy glyphs straight into the pixels it paints (the backing store of a window on
// a raster display, or an image): 32-bit opaque pixels, no scaling, no clip of the painter's own, and
// the rectangle being painted wholly inside the image and inside what the system lets it paint (a
// render into a smaller image keeps a clip larger than the image). Opaque cells only, and none while a
// selection is shown: its highlight is laid over whole cells, and a glyph copied in part at a
// rectangle's edge would leave that part highlighted twice. Qt's raster engine spends more on each
// glyph's call than on its pixels, and at 3 Mbaud every frame draws whole screens of them. Anything else
// goes through the painter as before.
std::optional<TerminalView::DirectPixels> TerminalView::directPixels(QPainter& p, const QRect& rect) const {
    QPaintEngine* engine = p.paintEngine();
    if (!engine || engine->type() != QPaintEngine::Raster || !engine->paintDevice() ||
        engine->paintDevice()->devType() != QInternal::Image)
        return std::nullopt;
    auto* image = static_cast<QImage*>(engine->paintDevice());
    if ((image->format() != QImage::Format_ARGB32_Premultiplied && image->format() != QImage::Format_RGB32) ||
        image->devicePixelRatio() != 1.0 || devicePixelRatioF() != 1.0 || p.hasClipping() ||
        p.compositionMode() != QPainter::CompositionMode_SourceOver || p.opacity() != 1.0 || selected_ ||
        cellBackground().alpha() != 255)
        return std::nullopt;
    const QTransform t = p.deviceTransform();
    if (t.type() > QTransform::TxTranslate || t.dx() != std::floor(t.dx()) || t.dy() != std::floor(t.dy()))
        return std::nullopt;
    const QPoint offset(static_cast<int>(t.dx()), static_cast<int>(t.dy()));
    const QRect onDevice = rect.translated(offset);
    if (!image->rect().contains(onDevice)) return std::nullopt;
    const QRegion allowed = engine->systemClip();  // empty: the whole image
    bool inside = allowed.isEmpty();
    for (const QRect& r : allowed)
        if (r.contains(onDevice)) inside = true;
    if (!inside) return std::nullopt;
    // Not bits(): that would detach a shared image, and the copy would never be shown.
    return DirectPixels{const_cast<uchar*>(image->constBits()), image->bytesPerLine(), image->format(),
                        offset, rect};
}

TerminalView::TerminalView(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFocusPolicy(Qt::NoFocus);
    setFont(QWidget::font());  // the panel's texts use the window's font; the screen its own
}

QFont TerminalView::terminalFont() {
    QFont f(QStringLiteral("DejaVu Sans Mono"));
    f.setStyleHint(QFont::TypeWriter);
    f.setFixedPitch(true);
    f.setPixelSize(15);
    f.setKerning(false);
    return f;
}

QSize TerminalView::cellSize() {
    const QFontMetrics fm(terminalFont());
    // The average width and the height with the font's external leading.
    return QSize(fm.horizontalAdvance(QLatin1Char('M')), fm.height() + std::max(0, fm.leading()));
}

CellSpan TerminalView::cellsFor(const QRect& r) const {
    if (!session_) return {};
    // QRect's right and bottom are the last pixels inside; the arithmetic takes the edges after them.
    const Rect update{r.left(), r.top(), r.right() + 1, r.bottom() + 1};
    return cellsToDraw(update, session_->hScrollPos.load(), session_->vScrollPos.load(),
                       session_->charWidth.load(), session_->charHeight.load());
}

QRect TerminalView::cellRect(int row, int column) const {
    if (!session_) return {};
    const int cw = session_->charWidth.load(), ch = session_->charHeight.load();
    return QRect(column * cw - session_->hScrollPos.load(), row * ch - session_->vScrollPos.load(), cw, ch);
}

void TerminalView::setSelection(QPoint anchor, QPoint end) {
    selected_ = true;
    selAnchor_ = anchor;
    selEnd_ = end;
    update();
}

void TerminalView::clearSelection() {
    if (!selected_) return;
    selected_ = false;
    update();
}

bool TerminalView::isSelected(int row, int column) const {
    if (!selected_) return false;
    QPoint a = selAnchor_, b = selEnd_;
    if (std::pair(b.y(), b.x()) < std::pair(a.y(), a.x())) std::swap(a, b);
    return std::pair(row, column) >= std::pair(a.y(), a.x()) &&
           std::pair(row, column) <= std::pair(b.y(), b.x());
}

QString TerminalView::selectedText() const {
    if (!selected_ || !session_) return {};
    QStringList lines;
    for (int row = 0; row < kScreenRows; ++row) {
        QString line;
        bool any = false;
        const std::string text = viewRow(*session_, back_, row);
        for (int c = 0; c < kScreenColumns; ++c) {
            if (!isSelected(row, c)) continue;
            any = true;
            const auto b = static_cast<uint8_t>(text[static_cast<size_t>(c)]);
            line += b == 0 || b == 0xFF ? QChar(' ') : cp437ToChar(b);
        }
        if (!any) continue;
        while (line.endsWith(QLatin1Char(' '))) line.chop(1);
        lines << line;
    }
    return lines.join(QLatin1Char('\n'));
}

QPoint TerminalView::cellAt(QPoint pos) const {
    if (!session_) return {};
    const int cw = std::max(1, session_->charWidth.load()), ch = std::max(1, session_->charHeight.load());
    return QPoint(std::clamp((pos.x() + session_->hScrollPos.load()) / cw, 0, kScreenColumns - 1),
                  std::clamp((pos.y() + session_->vScrollPos.load()) / ch, 0, kScreenRows - 1));
}

void TerminalView::setScrollBack(size_t back) {
    if (back == back_) return;
    back_ = back;
    takeScreen();
    update();
}

const uint8_t* TerminalView::shownRow(int row) const {
    return shown_.data() + row * kScreenColumns;
}

void TerminalView::takeScreen() {
    if (!session_) return;
    shown_.resize(kScreenRows * kScreenColumns);
    shownScrolls_ = copyView(*session_, back_, shown_.data());
    shownBack_ = back_;
}

void TerminalView::showNewText(bool whole) {
    if (!session_) return;
    const bool had = !shown_.empty();
    std::swap(before_, shown_);
    const uint32_t scrollsBefore = shownScrolls_;
    const size_t backBefore = shownBack_;
    takeScreen();
    // A highlight or the panel lies over the cells and would move with them; both go with a full paint.
    const auto moved = back_ == 0 ? shownScrolls_ - scrollsBefore : 0u;
    if (whole || !had || backBefore != back_ || selected_ || panelDrawn_ || !isVisible() ||
        moved >= static_cast<uint32_t>(kScreenRows)) {
        update();
        return;
    }
    const PortSession& s = *session_;
    const int cw = s.charWidth.load(), ch = s.charHeight.load();
    const QRect screen(-s.hScrollPos.load(), -s.vScrollPos.load(), kScreenColumns * cw, kScreenRows * ch);
    const int up = static_cast<int>(moved);
    // A console moves up a few rows a frame at most speeds: moving the pixels costs one copy, drawing
    // the rows again thousands of glyphs.
    if (up > 0) {
        if (const QRect area = screen & rect(); !area.isEmpty()) scroll(0, -up * ch, area);
        if (caretShown_) update(cellRect(caretCell_.y() - up, caretCell_.x()));  // its pixels moved too
    }
    for (int row = 0; row < kScreenRows;) {
        const bool same = row + up < kScreenRows &&
                          std::memcmp(shownRow(row), before_.data() + (row + up) * kScreenColumns,
                                      kScreenColumns) == 0;
        if (same) {
            ++row;
            continue;
        }
        int end = row + 1;  // rows changed together are one rectangle
        while (end < kScreenRows &&
               (end + up >= kScreenRows ||
                std::memcmp(shownRow(end), before_.data() + (end + up) * kScreenColumns, kScreenColumns) != 0))
            ++end;
        update(QRect(screen.left(), screen.top() + row * ch, screen.width(), (end - row) * ch));
        row = end;
    }
}

QRect TerminalView::panelRect() const {
    return ProgressPanel::barRect(panelPlace_);
}

void TerminalView::setCaret(bool shown, QPoint cell) {
    if (shown == caretShown_ && cell == caretCell_) return;
    if (caretShown_) update(cellRect(caretCell_.y(), caretCell_.x()));
    caretShown_ = shown;
    caretCell_ = cell;
    if (caretShown_) update(cellRect(caretCell_.y(), caretCell_.x()));
}

void TerminalView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    emit resized(size());
}

void TerminalView::paintEvent(QPaintEvent* event) {
    QPainter p(this);
    if (!session_) {
        p.fillRect(event->rect(), background);
        return;
    }
    if (shown_.empty()) takeScreen();
    PortSession& s = *session_;
    // The cells paint their own background; only what lies beside the screen is filled here. At 3 Mbaud
    // every frame repaints the whole screen, and a second pass over its pixels would cost as much as the
    // glyphs.
    const QRegion region = event->region();
    const QRect screen(-s.hScrollPos.load(), -s.vScrollPos.load(), kScreenColumns * s.charWidth.load(),
                       kScreenRows * s.charHeight.load());
    for (const QRect& r : region.subtracted(QRegion(screen))) p.fillRect(r, background);
    for (const QRect& r : region) drawRows(p, cellsFor(r), directPixels(p, r));
    const bool transfer = s.transferActive.load() != 0;
    // The panel comes after the rows: in a window shorter than the screen the text would cover it.
    if (transfer) {
        ProgressPanel::Figures f;
        f.percent = s.percent.load();
        f.elapsedMs = ticksSince(s.startTick.load(), tickNow());
        // The description is written before the transfer shows the panel and not while it runs.
        f.info = s.fileInfo.substr(0, s.fileInfoLength);
        ProgressPanel::draw(p, panelPlace_, f);
    }
    drawCaret(p);
    // The panel's frame lies one pixel beyond the bar, over the text rows: once the transfer has
    // ended, the first paint takes the whole panel away, frame included.
    if (transfer) {
        panelDrawn_ = true;
    } else if (panelDrawn_) {
        panelDrawn_ = false;
        update(panelRect().adjusted(-1, -1, 1, 1));
    }
    // The caret follows the cursor at the end of every paint (typing at a prompt moves it), except
    // while a transfer runs.
    if (caretShown_ && !transfer) {
        const CursorPos at = cursorOf(s);
        if (QPoint(at.column, at.row) != caretCell_) setCaret(true, QPoint(at.column, at.row));
    }
    if (changedSince_) {
        paint_latency::record(changedSince_, shownSince_);
        changedSince_ = shownSince_ = 0;
    }
}

void TerminalView::drawRows(QPainter& p, const CellSpan& span, const std::optional<DirectPixels>& direct) {
    if (span.empty()) return;
    PortSession& s = *session_;
    const int cw = s.charWidth.load(), ch = s.charHeight.load();
    const int dx = s.hScrollPos.load(), dy = s.vScrollPos.load();
    const QColor paper = cellBackground();
    const QPixmap& atlas = glyphAtlas(fromColorRef(s.textColor), paper, QSize(cw, ch), devicePixelRatioF());
    const qreal r = atlas.devicePixelRatio();  // the atlas's own pixels are the source's unit
    const int first = span.firstColumn, end = span.lastColumn + 1;
    const QImage* pixels = direct ? &atlasPixels(atlas, direct->format) : nullptr;
    for (int row = span.firstRow; row <= span.lastRow; ++row) {
        const uint8_t* text = shownRow(row);
        const int y = row * ch - dy;
        // A run of blank cells is one fill; a glyph's cell in the atlas carries its background.
        for (int c = first; c < end;) {
            const uint8_t b = text[c];
            if (blank(b)) {
                int stop = c + 1;
                while (stop < end && blank(text[stop])) ++stop;
                p.fillRect(QRect(c * cw - dx, y, (stop - c) * cw, ch), paper);
                c = stop;
                continue;
            }
            if (pixels) {
                // The cells at the edges of the rectangle being painted are cut to it.
                const QRect cell(c * cw - dx, y, cw, ch);
                const QRect part = cell & direct->rect;
                if (part.isEmpty()) {
                    ++c;
                    continue;
                }
                const uchar* from = pixels->constScanLine((b / 16) * ch + part.top() - cell.top()) +
                                    ((b % 16) * cw + part.left() - cell.left()) * 4;
                uchar* to = direct->bits + (part.top() + direct->offset.y()) * direct->bytesPerLine +
                            (part.left() + direct->offset.x()) * 4;
                for (int line = 0; line < part.height(); ++line)
                    std::memcpy(to + line * direct->bytesPerLine, from + line * pixels->bytesPerLine(),
                                static_cast<size_t>(part.width()) * 4);
            } else {
                p.drawPixmap(QRectF(c * cw - dx, y, cw, ch), atlas,
                             QRectF((b % 16) * cw * r, (b / 16) * ch * r, cw * r, ch * r));
            }
            ++c;
        }
        if (!selected_) continue;
        QColor mark = palette().color(QPalette::Highlight);
        mark.setAlpha(110);
        for (int c = first; c < end; ++c)
            if (isSelected(row, c)) p.fillRect(QRect(c * cw - dx, y, cw, ch), mark);
    }
}

void TerminalView::drawCaret(QPainter& p) {
    if (!caretShown_ || !session_ || back_ > 0) return;  // the cursor is not on a line of the past
    PortSession& s = *session_;
    const QRect cell = cellRect(caretCell_.y(), caretCell_.x());
    const uint8_t b =
        shownRow(std::clamp(caretCell_.y(), 0, kScreenRows - 1))[std::clamp(caretCell_.x(), 0, kScreenColumns - 1)];
    // A solid caret inverts its cell: the glyph shows in the background colour on the text colour.
    p.fillRect(cell, fromColorRef(s.textColor));
    if (!blank(b)) {
        p.setFont(terminalFont());
        p.setPen(cellBackground());
        p.drawText(cell.left(), cell.top() + QFontMetrics(terminalFont()).ascent(), glyphs()[b]);
    }
}

}  // namespace dl::gui
