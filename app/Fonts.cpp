#include "Fonts.h"

#include <QFont>
#include <QFontDatabase>
#include <QWidget>

namespace kvr {

namespace {

bool IsWindowsFace(const QString& family) {
    return family.compare(QLatin1String("MS Sans Serif"), Qt::CaseInsensitive) == 0 ||
           family.compare(QLatin1String("Tahoma"), Qt::CaseInsensitive) == 0;
}

void FixFont(QWidget* widget) {
    QFont font = widget->font();
    const QString family = font.family();
    if (!IsWindowsFace(family))
        return;
    font.setFamilies({EffectiveFontFamily(family)});
    if (font.pointSizeF() > 0) {
        const int pixels = qRound(font.pointSizeF() * kLayoutDotsPerInch / kPointsPerInch);
        font.setPixelSize(pixels);
    }
    widget->setFont(font);
}

}  // namespace

QString EffectiveFontFamily(const QString& layoutFamily) {
    if (!IsWindowsFace(layoutFamily))
        return layoutFamily;
    // Not hasFamily(): it follows fontconfig's aliases and would call any face installed.
    if (QFontDatabase::families().contains(layoutFamily, Qt::CaseInsensitive))
        return layoutFamily;
    return QString::fromLatin1(kFallbackFontFamily);
}

void ApplyLayoutFonts(QWidget* root) {
    FixFont(root);
    const auto children = root->findChildren<QWidget*>();
    for (QWidget* child : children) {
        if (child->testAttribute(Qt::WA_SetFont))
            FixFont(child);
    }
}

}  // namespace kvr
