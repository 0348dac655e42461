// Stands in for the framework's TImage: a picture on a form that carries an integer Tag.
#pragma once

#include <QLabel>

class TImage : public QLabel {
public:
    explicit TImage(QWidget* parent = nullptr);

    int Tag = 0;
    void SetPicture(const QPixmap& picture) { setPixmap(picture); }
};
