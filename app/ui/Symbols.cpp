#include "Symbols.h"

#include <QAction>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include <initializer_list>
#include <iterator>

namespace qm {

namespace {

constexpr int canvas = 64;
constexpr char tintProperty[] = "symbolTint";

using Drawing = void (*)(QPainter&);

// Draws straight segments through the points, closing the shape when asked.
void drawPolyline(QPainter& p, std::initializer_list<QPointF> points, bool closed) {
    QPainterPath path;
    path.moveTo(*points.begin());
    for (auto it = points.begin() + 1; it != points.end(); ++it) path.lineTo(*it);
    if (closed) path.closeSubpath();
    p.drawPath(path);
}

void drawOpen(QPainter& p) {
    drawPolyline(p, {{8, 50}, {8, 14}, {24, 14}, {30, 20}, {56, 20}, {56, 50}}, true);
    p.drawLine(8, 28, 56, 28);
}

void drawFollow(QPainter& p) {
    p.drawRoundedRect(QRectF(12, 6, 32, 44), 4, 4);
    for (int y : {16, 24, 32}) p.drawLine(19, y, 37, y);
    p.drawLine(48, 28, 48, 56);
    p.drawLine(40, 48, 48, 56);
    p.drawLine(56, 48, 48, 56);
}

void drawStop(QPainter& p) {
    p.setBrush(p.pen().color());
    p.drawRoundedRect(QRectF(14, 14, 36, 36), 5, 5);
}

void drawSave(QPainter& p) {
    p.drawLine(32, 6, 32, 38);
    p.drawLine(20, 26, 32, 38);
    p.drawLine(44, 26, 32, 38);
    drawPolyline(p, {{8, 40}, {8, 56}, {56, 56}, {56, 40}}, false);
}

void drawTrash(QPainter& p) {
    p.drawLine(8, 16, 56, 16);
    p.drawLine(24, 16, 26, 8);
    p.drawLine(26, 8, 38, 8);
    p.drawLine(38, 8, 40, 16);
    drawPolyline(p, {{14, 16}, {18, 58}, {46, 58}, {50, 16}}, false);
    for (int x : {26, 38}) p.drawLine(x, 26, x, 48);
}

void drawClearFilters(QPainter& p) {
    drawPolyline(p, {{6, 8}, {46, 8}, {30, 28}, {30, 50}, {22, 56}, {22, 28}}, true);
    p.drawLine(40, 38, 58, 56);
    p.drawLine(58, 38, 40, 56);
}

void drawPlatform(QPainter& p) {
    QPainterPath seal;
    seal.moveTo(32, 6);
    seal.lineTo(54, 14);
    seal.cubicTo(54, 38, 46, 50, 32, 58);
    seal.cubicTo(18, 50, 10, 38, 10, 14);
    seal.closeSubpath();
    p.drawPath(seal);
    p.drawLine(22, 32, 29, 40);
    p.drawLine(29, 40, 43, 24);
}

void drawAnnotate(QPainter& p) {
    p.drawLine(14, 6, 14, 58);
    QPainterPath flag;
    flag.moveTo(14, 8);
    flag.cubicTo(26, 2, 36, 14, 52, 8);
    flag.lineTo(52, 34);
    flag.cubicTo(36, 40, 26, 28, 14, 34);
    p.drawPath(flag);
}

void drawChain(QPainter& p) {
    p.save();
    p.translate(32, 32);
    p.rotate(-45);
    p.drawRoundedRect(QRectF(-28, -9, 32, 18), 9, 9);
    p.drawRoundedRect(QRectF(-4, -9, 32, 18), 9, 9);
    p.restore();
}

void drawWarp(QPainter& p) {
    p.drawEllipse(QPointF(32, 32), 24, 24);
    p.drawLine(32, 32, 32, 16);
    p.drawLine(32, 32, 44, 38);
}

void drawScroll(QPainter& p) {
    p.drawLine(32, 6, 32, 44);
    p.drawLine(18, 30, 32, 44);
    p.drawLine(46, 30, 32, 44);
    p.drawLine(10, 56, 54, 56);
}

void drawSearch(QPainter& p) {
    p.drawEllipse(QPointF(26, 26), 16, 16);
    p.drawLine(38, 38, 56, 56);
}

// In the order of Symbol.
constexpr Drawing drawings[] = {drawOpen, drawFollow,   drawStop,  drawSave,  drawTrash, drawClearFilters,
                                drawPlatform, drawAnnotate, drawChain, drawWarp, drawScroll, drawSearch};
static_assert(std::size(drawings) == std::size_t(Symbol::search) + 1);

}  // namespace

QIcon symbolIcon(Symbol symbol, const QColor& color) {
    QPixmap pixmap(canvas, canvas);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(color, 5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    drawings[std::size_t(symbol)](painter);
    painter.end();
    return QIcon(pixmap);
}

void setSymbolTint(QAction* item, const QColor& color) {
    if (!item || item->icon().isNull()) return;
    // Keep the symbol's shape (its alpha) and paint it over in the colour.
    QPixmap pixmap = item->icon().pixmap(canvas, canvas);
    QPainter painter(&pixmap);
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(pixmap.rect(), color);
    painter.end();
    item->setIcon(QIcon(pixmap));
    item->setProperty(tintProperty, color);
}

QColor symbolTint(const QAction* item) {
    return item ? item->property(tintProperty).value<QColor>() : QColor();
}

}  // namespace qm
