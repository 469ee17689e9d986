#include "app/AppIcon.h"

#include <QPainter>
#include <QPixmap>

QIcon MakeAppIcon() {
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64}) {
        QPixmap pm(size, size);
        pm.fill(Qt::transparent);
        QPainter p(&pm);
        p.setRenderHint(QPainter::Antialiasing);
        const qreal s = size;
        QRectF body(s * 0.06, s * 0.22, s * 0.88, s * 0.62);
        p.setPen(QPen(QColor(40, 60, 90), qMax<qreal>(1.0, s / 16)));
        p.setBrush(QColor(245, 240, 225));
        p.drawRoundedRect(body, s * 0.06, s * 0.06);
        p.drawLine(body.topLeft(), QPointF(body.center().x(), body.top() + body.height() * 0.55));
        p.drawLine(body.topRight(), QPointF(body.center().x(), body.top() + body.height() * 0.55));
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(40, 200, 90));
        p.drawEllipse(QRectF(s * 0.62, s * 0.04, s * 0.34, s * 0.34));
        icon.addPixmap(pm);
    }
    return icon;
}
