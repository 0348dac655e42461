#include "platform/Image.h"

TImage::TImage(QWidget* parent) : QLabel(parent) {
    setAttribute(Qt::WA_TranslucentBackground);
}
