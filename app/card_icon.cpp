// The card icon, drawn with QPainter so that no image file has to ship.
#include "app/card_icon.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace zem {

int TImageList::Add(const QPixmap& Image) {
  if (Image.width() == FWidth && Image.height() == FHeight) {
    FImages.push_back(Image);
  } else {
    FImages.push_back(Image.scaled(FWidth, FHeight, Qt::IgnoreAspectRatio,
                                   Qt::SmoothTransformation));
  }
  return Count() - 1;
}

QPixmap DrawCardIcon(int Size) {
  QPixmap Pixmap(Size, Size);
  Pixmap.fill(Qt::transparent);
  QPainter P(&Pixmap);
  P.setRenderHint(QPainter::Antialiasing);
  // Everything is laid out on a 64-unit grid and scaled to the size asked.
  P.scale(Size / 64.0, Size / 64.0);

  // The body: a portrait card, its top right corner cut off.
  QPainterPath Body;
  Body.moveTo(12, 4);
  Body.lineTo(42, 4);
  Body.lineTo(54, 16);
  Body.lineTo(54, 58);
  Body.quadTo(54, 61, 51, 61);
  Body.lineTo(13, 61);
  Body.quadTo(10, 61, 10, 58);
  Body.lineTo(10, 7);
  Body.quadTo(10, 4, 12, 4);
  Body.closeSubpath();
  QLinearGradient Ground(10, 4, 54, 61);
  Ground.setColorAt(0, QColor(70, 90, 120));
  Ground.setColorAt(1, QColor(30, 40, 60));
  P.setPen(QPen(QColor(20, 25, 35), 1.2));
  P.setBrush(Ground);
  P.drawPath(Body);

  // Gold contacts along the top edge.
  P.setPen(Qt::NoPen);
  P.setBrush(QColor(218, 178, 60));
  for (int I = 0; I < 5; ++I) P.drawRect(QRectF(14 + I * 5.5, 7, 3.5, 9));

  // The paper label with a few lines of "writing".
  P.setBrush(QColor(235, 238, 242));
  P.drawRoundedRect(QRectF(15, 25, 34, 28), 2, 2);
  P.setBrush(QColor(200, 40, 40));
  P.drawRect(QRectF(15, 25, 34, 6));
  P.setBrush(QColor(120, 130, 145));
  P.drawRect(QRectF(19, 36, 26, 2.5));
  P.drawRect(QRectF(19, 42, 20, 2.5));
  P.drawRect(QRectF(19, 48, 23, 2.5));

  // The write-protect slider on the left edge.
  P.setBrush(QColor(230, 230, 230));
  P.drawRect(QRectF(8, 22, 3, 8));
  return Pixmap;
}

}  // namespace zem
