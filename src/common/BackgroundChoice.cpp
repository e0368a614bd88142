#include "BackgroundChoice.h"

#include <QCoreApplication>

const std::array<BackgroundChoice, 4>& BackgroundChoice::allCases()
{
    static const std::array<BackgroundChoice, 4> cases = {transparent, white, black, custom};
    return cases;
}

QString BackgroundChoice::label() const
{
    switch (m_case) {
    case transparent:
        return QCoreApplication::translate("Vantel", "Clear");
    case white:
        return QCoreApplication::translate("Vantel", "White");
    case black:
        return QCoreApplication::translate("Vantel", "Black");
    case custom:
        return QCoreApplication::translate("Vantel", "Custom");
    }
    return {};
}
