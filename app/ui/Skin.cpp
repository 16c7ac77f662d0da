#include "app/ui/Skin.h"

#include <QBitmap>
#include <QImage>
#include <QPixmapCache>

// Outside any namespace, as Qt asks: the pictures live in this static library.
static void LoadSkinResources() { Q_INIT_RESOURCE(skin); }

namespace bw::app::ui::skin {
namespace {

QImage Image(const QString& name) {
  static const bool loaded = (LoadSkinResources(), true);
  (void)loaded;
  return QImage(":/skin/" + name + ".png").convertToFormat(QImage::Format_ARGB32);
}

}  // namespace

QPixmap Picture(const QString& name) {
  QPixmap cached;
  if (QPixmapCache::find(name, &cached)) return cached;
  QImage image = Image(name);
  for (int y = 0; y < image.height(); ++y) {
    auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
    for (int x = 0; x < image.width(); ++x) {
      if ((row[x] & 0xFFFFFF) == (kKeyColour.rgb() & 0xFFFFFF)) row[x] = 0;
    }
  }
  cached = QPixmap::fromImage(image);
  QPixmapCache::insert(name, cached);
  return cached;
}

QFont TextFont() {
  QFont font;
  font.setFamilies({"Microsoft YaHei", "微软雅黑", "Noto Sans CJK SC"});
  // A GDI height of 18 is the cell; the em of this face is about three quarters of it.
  font.setPixelSize(13);
  font.setWeight(QFont::Normal);
  return font;
}

QRegion ShapeOf(const QString& name, int first, int last) {
  const QImage image = Image(name);
  if (last < 0 || last >= image.height()) last = image.height() - 1;
  QRegion region(0, 0, image.width(), image.height());
  for (int y = first; y <= last; ++y) {
    const auto* row = reinterpret_cast<const QRgb*>(image.constScanLine(y));
    for (int x = 0; x < image.width();) {
      if ((row[x] & 0xFFFFFF) != (kKeyColour.rgb() & 0xFFFFFF)) {
        ++x;
        continue;
      }
      const int start = x;
      while (x < image.width() && (row[x] & 0xFFFFFF) == (kKeyColour.rgb() & 0xFFFFFF)) ++x;
      region -= QRegion(start, y, x - start, 1);
    }
  }
  return region;
}

}  // namespace bw::app::ui::skin
