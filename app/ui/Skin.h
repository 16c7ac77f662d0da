#pragma once
#include <QColor>
#include <QFont>
#include <QPixmap>
#include <QRegion>
#include <QString>

namespace bw::app::ui {

// The window's look: pictures compiled in from resources/images/, the text font and colours.
namespace skin {

inline const QColor kKeyColour(0xE8, 0x05, 0xF6);  // cut out of the window and the main buttons
inline const QColor kTextColour(0x68, 0x2D, 0x0D);

// A picture by name ("bg", "start-hover"); its key-colour pixels are transparent.
QPixmap Picture(const QString& name);
// The CJK face the window's texts use, falling back to Noto Sans CJK where it is missing.
QFont TextFont();
// The region of `picture` without its key-colour pixels in rows first..last (all rows when
// last < 0); the rest of the picture stays whole.
QRegion ShapeOf(const QString& name, int first = 0, int last = -1);

}  // namespace skin
}  // namespace bw::app::ui
