// Draws the window's pictures (backgrounds, picture buttons, progress fills, icon) into a folder as
// PNG files. scripts/draw-skin.sh runs it to refresh resources/images/; the program embeds those.
#include <QDir>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <cmath>
#include <cstdio>

namespace {

const QColor kKey(0xE8, 0x05, 0xF6);  // cut out of the window and the buttons
const QColor kText(0x68, 0x2D, 0x0D);
const QColor kTitleTop(0x9A, 0x55, 0x24);
const QColor kTitleBottom(0x6E, 0x35, 0x14);
const QColor kPaperTop(0xFC, 0xF5, 0xE8);
const QColor kPaperBottom(0xF0, 0xDF, 0xC1);
const QColor kEdge(0xB9, 0x8B, 0x5A);

QString g_folder;

QFont Font(int pixels, bool bold = false) {
  QFont font;
  font.setFamilies({"Noto Sans CJK SC", "Noto Sans"});
  font.setPixelSize(pixels);
  font.setBold(bold);
  return font;
}

void Save(const QImage& image, const QString& name) {
  const QString path = g_folder + "/" + name + ".png";
  if (!image.save(path)) std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
}

QImage Canvas(int w, int h, QColor fill) {
  QImage image(w, h, QImage::Format_ARGB32);
  image.fill(fill);
  return image;
}

void Chevron(QPainter& p, QPointF centre, bool down) {
  QPainterPath path;
  const double d = down ? 1 : -1;
  path.moveTo(centre.x() - 6, centre.y() - 3 * d);
  path.lineTo(centre.x(), centre.y() + 3 * d);
  path.lineTo(centre.x() + 6, centre.y() - 3 * d);
  p.setPen(QPen(kText, 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.setBrush(Qt::NoBrush);
  p.drawPath(path);
}

// The body shared by both backgrounds: title bar, banner, the folder row and the progress trough.
void Body(QPainter& p, int height) {
  QLinearGradient paper(0, 38, 0, height);
  paper.setColorAt(0, kPaperTop);
  paper.setColorAt(1, kPaperBottom);
  p.fillRect(0, 0, 411, height, paper);

  QLinearGradient title(0, 0, 0, 38);
  title.setColorAt(0, kTitleTop);
  title.setColorAt(1, kTitleBottom);
  p.fillRect(0, 0, 411, 38, title);
  p.setPen(QColor(0xF6, 0xE7, 0xC8));
  p.setFont(Font(15, true));
  p.drawText(QRect(44, 0, 260, 38), Qt::AlignVCenter | Qt::AlignLeft, "Tanwyn下载器");
  // A willow leaf as the emblem.
  p.setRenderHint(QPainter::Antialiasing);
  QPainterPath leaf;
  leaf.moveTo(14, 28);
  leaf.cubicTo(14, 14, 24, 9, 32, 9);
  leaf.cubicTo(32, 20, 26, 28, 14, 28);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0xB8, 0xD2, 0x7A));
  p.drawPath(leaf);
  p.setPen(QPen(QColor(0x5C, 0x7A, 0x2A), 1.2));
  p.drawLine(QPointF(15, 27), QPointF(29, 12));

  // Banner: the game's name over soft hills.
  QPainterPath hills;
  hills.moveTo(0, 170);
  hills.cubicTo(90, 120, 170, 175, 260, 140);
  hills.cubicTo(320, 118, 370, 130, 411, 120);
  hills.lineTo(411, 196);
  hills.lineTo(0, 196);
  hills.closeSubpath();
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0xE9, 0xD3, 0xA8));
  p.drawPath(hills);
  p.setPen(kText);
  p.setFont(Font(40, true));
  p.drawText(QRect(0, 58, 411, 60), Qt::AlignCenter, "Tanwyn");
  p.setFont(Font(14));
  p.drawText(QRect(0, 116, 411, 24), Qt::AlignCenter, "游戏客户端下载");

  p.setPen(QPen(kEdge, 1));
  p.drawLine(9, 198, 402, 198);
  p.drawLine(9, 237, 402, 237);

  // The progress trough.
  p.setPen(QPen(kEdge, 1));
  p.setBrush(QColor(0xE6, 0xD3, 0xB4));
  p.drawRoundedRect(QRectF(10.5, 243.5, 287, 13), 5, 5);
}

void Backgrounds() {
  // Collapsed: the body ends at row 282; below it only the tab of the expand toggle remains.
  QImage collapsed = Canvas(411, 307, kKey);
  {
    QPainter p(&collapsed);
    p.setClipRect(0, 0, 411, 283);
    Body(p, 283);
    p.setClipping(false);
    p.setRenderHint(QPainter::Antialiasing, false);
    p.fillRect(0, 282, 411, 1, kEdge);
    QPainterPath tab;
    tab.moveTo(176, 282);
    tab.lineTo(227, 282);
    tab.lineTo(227, 298);
    tab.quadTo(227, 306, 219, 306);
    tab.lineTo(184, 306);
    tab.quadTo(176, 306, 176, 298);
    tab.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(kPaperBottom);
    p.drawPath(tab);
    p.fillRect(177, 282, 50, 1, kPaperBottom);
    p.setPen(QPen(kEdge, 1));
    p.drawLine(176, 283, 176, 298);
    p.drawLine(227, 283, 227, 298);
    p.drawLine(184, 306, 219, 306);
    p.setRenderHint(QPainter::Antialiasing);
    Chevron(p, QPointF(201.5, 293), true);
  }
  Save(collapsed, "bg");

  QImage expanded = Canvas(411, 385, kPaperBottom);
  {
    QPainter p(&expanded);
    Body(p, 385);
    p.setRenderHint(QPainter::Antialiasing);
    Chevron(p, QPointF(201.5, 293), false);
    p.setPen(kText);
    p.setFont(Font(13));
    p.drawText(QRect(10, 302, 200, 20), Qt::AlignVCenter | Qt::AlignLeft, "文件列表");
  }
  Save(expanded, "bg-expanded");
}

void Progress(const QString& name, QColor from, QColor to) {
  QImage image = Canvas(286, 12, Qt::transparent);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  QLinearGradient fill(0, 0, 0, 12);
  fill.setColorAt(0, from);
  fill.setColorAt(1, to);
  p.setPen(Qt::NoPen);
  p.setBrush(fill);
  p.drawRoundedRect(QRectF(0, 0, 286, 12), 5, 5);
  p.setBrush(QColor(255, 255, 255, 70));
  p.drawRoundedRect(QRectF(2, 1, 282, 4), 2, 2);
  Save(image, name);
}

enum Look { kNormal, kHover, kPressed, kDisabled };
const char* const kLookNames[] = {"normal", "hover", "pressed", "disabled"};

QColor Shade(QColor c, Look look) {
  if (look == kHover) return c.lighter(115);
  if (look == kPressed) return c.darker(118);
  if (look == kDisabled) {
    const int grey = qGray(c.rgb());
    return QColor(grey, grey, grey).lighter(130);
  }
  return c;
}

// A main button: 85 × 32, its corners in the key colour so that the window shapes it.
void MainButton(const QString& name, const QString& text, QColor top, QColor bottom) {
  for (Look look : {kNormal, kHover, kPressed, kDisabled}) {
    QImage image = Canvas(85, 32, kKey);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing, false);
    QPainterPath shape;
    shape.addRoundedRect(QRectF(0, 0, 85, 32), 7, 7);
    QLinearGradient fill(0, 0, 0, 32);
    fill.setColorAt(0, Shade(top, look));
    fill.setColorAt(1, Shade(bottom, look));
    p.fillPath(shape, fill);
    p.setPen(QPen(Shade(bottom.darker(140), look), 1));
    p.drawPath(shape);
    p.setPen(look == kDisabled ? QColor(0xF4, 0xF4, 0xF4) : QColor(Qt::white));
    p.setFont(Font(14, true));
    const int shift = look == kPressed ? 1 : 0;
    p.drawText(QRect(shift, shift, 85, 32), Qt::AlignCenter, text);
    p.end();
    Save(image, name + "-" + kLookNames[look]);
  }
}

// A small button over the title bar or the paper: transparent around its face.
template <class DrawFace>
void SmallButton(const QString& name, int size, bool withDisabled, QColor face, DrawFace draw) {
  for (Look look : {kNormal, kHover, kPressed, kDisabled}) {
    if (look == kDisabled && !withDisabled) continue;
    QImage image = Canvas(size, size, Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    if (look != kNormal) {
      p.setPen(Qt::NoPen);
      p.setBrush(Shade(face, look));
      p.drawRoundedRect(QRectF(1, 1, size - 2, size - 2), 4, 4);
    }
    draw(p, look == kDisabled ? QColor(0xA8, 0xA0, 0x98) : (look == kNormal ? face.lighter(170) : QColor(Qt::white)));
    p.end();
    Save(image, name + "-" + kLookNames[look]);
  }
}

void TitleButtons() {
  const QColor face(0xB4, 0x6A, 0x30);
  SmallButton("settings", 25, false, face, [](QPainter& p, QColor ink) {
    p.setPen(Qt::NoPen);
    p.setBrush(ink);
    for (int i = 0; i < 8; ++i) {
      p.save();
      p.translate(12.5, 12.5);
      p.rotate(45.0 * i);
      p.drawRect(QRectF(-1.8, -8.5, 3.6, 4));
      p.restore();
    }
    p.drawEllipse(QPointF(12.5, 12.5), 6, 6);
    p.setBrush(QColor(0x80, 0x42, 0x18));
    p.drawEllipse(QPointF(12.5, 12.5), 2.5, 2.5);
  });
  SmallButton("minimise", 25, false, face, [](QPainter& p, QColor ink) {
    p.setPen(QPen(ink, 2.2, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(7, 16), QPointF(18, 16));
  });
  SmallButton("close", 25, false, QColor(0xC8, 0x3C, 0x28), [](QPainter& p, QColor ink) {
    p.setPen(QPen(ink, 2.2, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(8, 8), QPointF(17, 17));
    p.drawLine(QPointF(17, 8), QPointF(8, 17));
  });
  SmallButton("folder", 26, true, QColor(0xD8, 0x9C, 0x50), [](QPainter& p, QColor ink) {
    const QColor body = ink == QColor(0xA8, 0xA0, 0x98) ? ink : QColor(0xE8, 0xA8, 0x3C);
    QPainterPath folder;
    folder.moveTo(4, 8);
    folder.lineTo(10, 8);
    folder.lineTo(12, 10);
    folder.lineTo(22, 10);
    folder.lineTo(22, 20);
    folder.lineTo(4, 20);
    folder.closeSubpath();
    p.setPen(QPen(QColor(0x8A, 0x52, 0x1A), 1.2));
    p.setBrush(body);
    p.drawPath(folder);
    p.setBrush(body.lighter(120));
    p.drawRect(QRectF(4, 12, 18, 8));
  });
}

void Icon() {
  QImage image = Canvas(128, 128, Qt::transparent);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  QLinearGradient fill(0, 0, 0, 128);
  fill.setColorAt(0, kTitleTop);
  fill.setColorAt(1, kTitleBottom);
  p.setPen(Qt::NoPen);
  p.setBrush(fill);
  p.drawRoundedRect(QRectF(4, 4, 120, 120), 24, 24);
  QPainterPath leaf;
  leaf.moveTo(30, 98);
  leaf.cubicTo(30, 52, 62, 30, 100, 30);
  leaf.cubicTo(100, 70, 76, 98, 30, 98);
  p.setBrush(QColor(0xB8, 0xD2, 0x7A));
  p.drawPath(leaf);
  p.setPen(QPen(QColor(0x5C, 0x7A, 0x2A), 4, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(34, 94), QPointF(88, 42));
  p.setPen(QPen(QColor(0xF6, 0xE7, 0xC8), 7, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.drawLine(QPointF(64, 58), QPointF(64, 96));
  p.drawLine(QPointF(50, 82), QPointF(64, 96));
  p.drawLine(QPointF(78, 82), QPointF(64, 96));
  p.end();
  Save(image, "icon");
}

}  // namespace

int main(int argc, char** argv) {
  QGuiApplication app(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
    return 1;
  }
  g_folder = argv[1];
  QDir().mkpath(g_folder);
  Backgrounds();
  Progress("progress-download", QColor(0xF8, 0xB0, 0x48), QColor(0xE0, 0x6C, 0x1C));
  Progress("progress-verify", QColor(0x8C, 0xCC, 0x5C), QColor(0x4C, 0x96, 0x2C));
  MainButton("start", "开始下载", QColor(0xF7, 0xA5, 0x41), QColor(0xE0, 0x70, 0x1E));
  MainButton("pause", "暂停下载", QColor(0xE9, 0xB8, 0x4A), QColor(0xC8, 0x8A, 0x1C));
  MainButton("continue", "继续下载", QColor(0x86, 0xC0, 0x52), QColor(0x4E, 0x8E, 0x28));
  MainButton("install", "开始安装", QColor(0xEE, 0x6E, 0x44), QColor(0xC2, 0x3E, 0x1C));
  TitleButtons();
  Icon();
  return 0;
}
