#include "BackgroundChoice.h"

const std::array<BackgroundChoice, 4>& BackgroundChoice::allCases()
{
    static const std::array<BackgroundChoice, 4> cases = {transparent, white, black, custom};
    return cases;
}

QString BackgroundChoice::rawValue() const
{
    switch (m_case) {
    case transparent:
        return QStringLiteral("Clear");
    case white:
        return QStringLiteral("White");
    case black:
        return QStringLiteral("Black");
    case custom:
        return QStringLiteral("Custom");
    }
    return {};
}
