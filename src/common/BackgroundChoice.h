#pragma once

#include <QHashFunctions>
#include <QMetaType>
#include <QString>
#include <array>
#include <functional>
#include <optional>

// What is laid under the extracted subject. A value type whose raw value is
// both its label in the panel and its identity.
class BackgroundChoice final
{
public:
    enum Case { transparent, white, black, custom };

    constexpr BackgroundChoice() = default;
    constexpr BackgroundChoice(Case c) : m_case(c) {} // NOLINT: implicit on purpose

    // Every case, in the order of the panel's picker.
    static const std::array<BackgroundChoice, 4>& allCases();

    // Accepts exactly "Clear", "White", "Black" and "Custom".
    static std::optional<BackgroundChoice> fromRawValue(const QString& raw);

    QString rawValue() const;
    QString id() const { return rawValue(); }
    constexpr Case value() const { return m_case; }

    friend bool operator==(const BackgroundChoice& a, const BackgroundChoice& b)
    {
        return a.rawValue() == b.rawValue();
    }
    friend bool operator!=(const BackgroundChoice& a, const BackgroundChoice& b)
    {
        return !(a == b);
    }

private:
    Case m_case = transparent;
};

size_t qHash(const BackgroundChoice& choice, size_t seed = 0) noexcept;

template <> struct std::hash<BackgroundChoice>
{
    size_t operator()(const BackgroundChoice& choice) const noexcept
    {
        return std::hash<QString>()(choice.rawValue());
    }
};

Q_DECLARE_METATYPE(BackgroundChoice)
