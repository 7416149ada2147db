#include "progress_panel.h"

#include <QFontMetrics>
#include <QPainter>

namespace dl::gui {

const QColor ProgressPanel::done(255, 0, 0);
const QColor ProgressPanel::remaining(0x7F, 0x7F, 0x7F);
const QColor ProgressPanel::frame(0, 0, 0);

namespace {

QRect qrect(const Rect& r) {
    return QRect(QPoint(r.left, r.top), QPoint(r.right - 1, r.bottom - 1));
}

}  // namespace

QRect ProgressPanel::barRect(const PanelPlace& place) {
    return qrect(panelLayout(place, 0).invalidate);
}

void ProgressPanel::draw(QPainter& p, const PanelPlace& place, const Figures& f) {
    const PanelLayout l = panelLayout(place, f.percent);
    p.save();
    p.fillRect(qrect(l.done), done);
    p.fillRect(qrect(l.remaining), remaining);
    p.setPen(Qt::white);
    p.setBackgroundMode(Qt::TransparentMode);
    // The texts' top edge is given, as the platform draws text from its cell's top.
    const int baseline = l.textTop + QFontMetrics(p.font()).ascent();
    p.drawText(l.timeLeft, baseline, QString::fromStdString(elapsedText(f.elapsedMs)));
    p.drawText(l.infoLeft, baseline,
               QString::fromLocal8Bit(f.info.data(), static_cast<qsizetype>(f.info.size())));
    p.drawText(l.percentLeft, baseline, QString::fromStdString(percentText(f.percent)));
    p.setPen(frame);
    p.setBrush(Qt::NoBrush);
    // A stroked rectangle covers one pixel more than its size: this outline's outer edge is the frame.
    p.drawRect(
        QRect(l.frame.left, l.frame.top, l.frame.right - l.frame.left - 1, l.frame.bottom - l.frame.top - 1));
    p.restore();
}

}  // namespace dl::gui
