#include "platform/SysError.h"

#include <cstring>

#include <QString>

#include "platform/Cp1251.h"

std::string SysErrorMessage(int error) {
    return ToCp1251(QString::fromLocal8Bit(std::strerror(error)));
}
