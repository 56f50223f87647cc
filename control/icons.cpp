#include "control/icons.h"

#include <QPainter>
#include <QPolygon>

namespace icons {
namespace {

const QColor kCyan(0, 170, 200);
const QColor kBlue(30, 60, 200);

QPolygon right(int x0, int x1) {
    return QPolygon({QPoint(x0, 5), QPoint(x1, 12), QPoint(x0, 19)});
}
QPolygon left(int x0, int x1) {
    return QPolygon({QPoint(x1, 5), QPoint(x0, 12), QPoint(x1, 19)});
}

void draw(QPainter& p, int index) {
    p.setPen(Qt::NoPen);
    switch (index) {
    case 0: // snapshot
        p.setBrush(QColor(210, 20, 20));
        p.drawEllipse(QPoint(12, 12), 8, 8);
        break;
    case 1: // play/pause
        p.setBrush(QColor(20, 160, 40));
        p.drawPolygon(QPolygon({QPoint(6, 4), QPoint(20, 12), QPoint(6, 20)}));
        break;
    case 2: // step
        p.setBrush(QColor(230, 190, 0));
        p.drawRect(7, 5, 4, 15);
        p.drawRect(14, 5, 4, 15);
        break;
    case 3:
        p.setBrush(QColor(210, 20, 20));
        p.drawRect(5, 7, 15, 11);
        break;
    case 4: // seek back: bar and triangle pointing left
        p.setBrush(kCyan);
        p.drawRect(4, 5, 3, 15);
        p.drawPolygon(left(8, 20));
        break;
    case 5: // slower: triangle pointing left and bar
        p.setBrush(kBlue);
        p.drawPolygon(left(4, 16));
        p.drawRect(18, 5, 3, 15);
        break;
    case 6: // faster: bar and triangle pointing right
        p.setBrush(kBlue);
        p.drawRect(4, 5, 3, 15);
        p.drawPolygon(right(9, 21));
        break;
    case 7: // seek forward: triangle pointing right and bar
        p.setBrush(kCyan);
        p.drawPolygon(right(5, 17));
        p.drawRect(18, 5, 3, 15);
        break;
    case 8:
        p.setBrush(kBlue);
        p.drawPolygon(QPolygon({QPoint(5, 15), QPoint(12, 4), QPoint(19, 15)}));
        p.drawRect(5, 17, 15, 3);
        break;
    default:
        break;
    }
}

} // namespace

QPixmap keplista() {
    QPixmap all(3 * kIconSize, 3 * kIconSize);
    all.fill(Qt::white);
    QPainter p(&all);
    p.setRenderHint(QPainter::Antialiasing);
    for (int i = 0; i < 9; ++i) {
        p.save();
        p.translate((i % 3) * kIconSize, (i / 3) * kIconSize);
        draw(p, i);
        p.restore();
    }
    return all;
}

QPixmap icon(int index) {
    static const QPixmap all = keplista();
    return all.copy((index % 3) * kIconSize, (index / 3) * kIconSize, kIconSize, kIconSize);
}

QPixmap floorPlan() {
    QPixmap plan(540, 390);
    plan.fill(QColor(236, 233, 222));
    QPainter p(&plan);
    p.setRenderHint(QPainter::Antialiasing);
    QFont f;
    f.setPixelSize(12);
    f.setBold(true);
    p.setFont(f);
    auto box = [&](const QRect& r, const QColor& fill, const QString& text) {
        p.setPen(QPen(QColor(90, 90, 90), 2));
        p.setBrush(fill);
        p.drawRoundedRect(r, 4, 4);
        p.setPen(Qt::black);
        p.drawText(r, Qt::AlignCenter | Qt::TextWordWrap, text);
    };
    // Walls.
    p.setPen(QPen(QColor(60, 60, 60), 4));
    p.setBrush(Qt::NoBrush);
    p.drawRect(4, 4, 532, 382);
    // The 3D TV along the top wall.
    box(QRect(150, 14, 240, 34), QColor(40, 40, 40), QString());
    p.setPen(Qt::white);
    p.drawText(QRect(150, 14, 240, 34), Qt::AlignCenter, "3D TV");
    // Operator's desk and the server machine, top left.
    box(QRect(70, 70, 90, 50), QColor(198, 170, 120), "operator's desk");
    box(QRect(70, 126, 50, 40), QColor(150, 160, 175), "server");
    // The viewing area: rows of seats facing the TV.
    p.setPen(QPen(QColor(120, 120, 120), 1));
    p.setBrush(QColor(170, 200, 230));
    for (int row = 0; row < 4; ++row)
        for (int seat = 0; seat < 7; ++seat)
            p.drawEllipse(QRect(190 + seat * 26, 110 + row * 38, 18, 18));
    p.setPen(Qt::black);
    p.drawText(QRect(180, 262, 190, 20), Qt::AlignCenter, "viewing area");
    // The teacher's place, bottom left.
    box(QRect(90, 300, 100, 44), QColor(200, 220, 170), "teacher's place");
    // The door in the right wall.
    p.setPen(QPen(QColor(150, 90, 40), 4));
    p.drawLine(536, 200, 536, 260);
    p.setPen(QPen(QColor(150, 90, 40), 1, Qt::DashLine));
    p.drawArc(QRect(476, 200, 120, 120), 90 * 16, 90 * 16);
    p.setPen(Qt::black);
    p.drawText(QRect(470, 262, 60, 20), Qt::AlignRight, "door");
    // Places 1 and 2.
    for (const auto& [c, label] : {std::pair<QPoint, const char*>{QPoint(420, 90), "1"},
                                   std::pair<QPoint, const char*>{QPoint(420, 160), "2"}}) {
        p.setPen(QPen(QColor(90, 90, 90), 2));
        p.setBrush(QColor(255, 240, 160));
        p.drawEllipse(c, 14, 14);
        p.setPen(Qt::black);
        p.drawText(QRect(c.x() - 14, c.y() - 14, 28, 28), Qt::AlignCenter, label);
    }
    return plan;
}

QPixmap cameraLayout() {
    QPixmap plan(240, 121);
    plan.fill(QColor(236, 233, 222));
    QPainter p(&plan);
    p.setRenderHint(QPainter::Antialiasing);
    // Walls, the 3D TV along the top, the seats facing it, the door on the right.
    p.setPen(QPen(QColor(60, 60, 60), 2));
    p.setBrush(Qt::NoBrush);
    p.drawRect(1, 1, 238, 119);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(40, 40, 40));
    p.drawRect(40, 4, 150, 8);
    p.setBrush(QColor(170, 200, 230));
    for (int row = 0; row < 3; ++row)
        for (int seat = 0; seat < 6; ++seat)
            p.drawEllipse(QRect(48 + seat * 24, 38 + row * 20, 10, 10));
    p.setPen(QPen(QColor(150, 90, 40), 3));
    p.drawLine(238, 60, 238, 90);
    return plan;
}

QPixmap transportStrip() {
    static const int order[] = {1, 4, 7, 5, 6, 2, 0};
    QPixmap strip(7 * kIconSize, kIconSize);
    QPainter p(&strip);
    p.setCompositionMode(QPainter::CompositionMode_Source);
    for (int k = 0; k < 7; ++k)
        p.drawPixmap(k * kIconSize, 0, icon(order[k]));
    return strip;
}

} // namespace icons
