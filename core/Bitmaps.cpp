#include "core/Bitmaps.h"

#include <QString>

// The resources live in a static library, so they are registered by hand before the first use (at
// global scope: the registration function is declared where the macro stands).
static void RegisterResources() {
    static const bool registered = [] {
        Q_INIT_RESOURCE(router);
        return true;
    }();
    (void)registered;
}

QPixmap LoadBitmap(const char* name) {
    RegisterResources();
    return QPixmap(QStringLiteral(":/bitmaps/%1.png").arg(QLatin1String(name)));
}
