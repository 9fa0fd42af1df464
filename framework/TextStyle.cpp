#include "TextStyle.h"

#include <QApplication>
#include <QScreen>

namespace {

// Qt point sizes for the framework's points (one logical pixel each).
double QtPoints(double designPoints) {
    const QScreen* screen = QGuiApplication::primaryScreen();
    const double dpi = screen ? screen->logicalDotsPerInchY() : 72.0;
    return dpi > 0 ? designPoints * 72.0 / dpi : designPoints;
}

}  // namespace

QFont TextStyle::ToQFont() const {
    QFont f = QApplication::font();
    if (!font.isEmpty() && font.compare("System", Qt::CaseInsensitive) != 0) f.setFamilies({font});
    if (size > 0.0f) {
        switch (unit) {
            case FontUnits::Pixel: f.setPixelSize(std::max(1, static_cast<int>(size + 0.5f))); break;
            case FontUnits::Inch: f.setPointSizeF(size * 72.0); break;
            case FontUnits::Millimeter: f.setPointSizeF(size * 72.0 / 25.4); break;
            case FontUnits::Default:
            case FontUnits::Point: f.setPointSizeF(QtPoints(size)); break;
        }
    }
    f.setBold(bold);
    f.setItalic(italic);
    f.setUnderline(underline);
    return f;
}
