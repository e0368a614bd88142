#pragma once

#include <QMetaType>
#include <QString>
#include <array>

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

    // What the panel's picker shows ("Clear", "White", "Black", "Custom"),
    // in the user's language.
    QString label() const;
    constexpr Case value() const { return m_case; }

    friend bool operator==(const BackgroundChoice& a, const BackgroundChoice& b)
    {
        return a.m_case == b.m_case;
    }
    friend bool operator!=(const BackgroundChoice& a, const BackgroundChoice& b)
    {
        return !(a == b);
    }

private:
    Case m_case = transparent;
};

Q_DECLARE_METATYPE(BackgroundChoice)
