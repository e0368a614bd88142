#include "BackgroundChoice.h"

const std::array<BackgroundChoice, 4>& BackgroundChoice::allCases()
{
    static const std::array<BackgroundChoice, 4> cases = {transparent, white, black, custom};
    return cases;
}

std::optional<BackgroundChoice> BackgroundChoice::fromRawValue(const QString& raw)
{
    for (const BackgroundChoice& choice : allCases()) {
        if (choice.rawValue() == raw)
            return choice;
    }
    return std::nullopt;
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

size_t qHash(const BackgroundChoice& choice, size_t seed) noexcept
{
    return qHash(choice.rawValue(), seed);
}
