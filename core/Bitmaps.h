// The program's named bitmaps (lamps, tool-bar pictures, the About picture), from its resources.
#pragma once

#include <QPixmap>

// The bitmap of that name ("GRN_ON", "TB_SMS_DIS", ...); a null pixmap when there is none.
QPixmap LoadBitmap(const char* name);
