// The image list of the drive list and the one card icon it holds.
#pragma once

#include <QPixmap>

#include <vector>

namespace zem {

// Images of one size, shown by index.
class TImageList {
 public:
  TImageList(int Width, int Height) : FWidth(Width), FHeight(Height) {}
  int Width() const { return FWidth; }
  int Height() const { return FHeight; }
  int Count() const { return static_cast<int>(FImages.size()); }
  // Appends Image scaled to the list's size; returns its index.
  int Add(const QPixmap& Image);
  const QPixmap& Image(int Index) const { return FImages.at(static_cast<size_t>(Index)); }

 private:
  int FWidth, FHeight;
  std::vector<QPixmap> FImages;
};

// A memory card seen from the front, drawn at Size x Size pixels on a
// transparent ground: a card body with a cut corner, contacts and a label.
QPixmap DrawCardIcon(int Size = 64);

}  // namespace zem
