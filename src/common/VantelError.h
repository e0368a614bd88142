#pragma once

#include <QString>
#include <exception>
#include <string>

// The errors Vantel reports to the user. Each carries exactly one
// user-facing text; a platform error (from the vision layer, a file write)
// travels with its own text unchanged.
class VantelError final : public std::exception
{
public:
    enum class Kind { failed, noSubject, loadFailed, platform };

    static VantelError failed(const QString& text);
    static VantelError noSubject();
    static VantelError loadFailed();
    static VantelError platform(const QString& text);

    Kind kind() const { return m_kind; }
    // The text the user sees.
    QString errorDescription() const;
    const char* what() const noexcept override { return m_utf8.c_str(); }

    friend bool operator==(const VantelError& a, const VantelError& b)
    {
        return a.m_kind == b.m_kind && a.m_text == b.m_text;
    }

private:
    VantelError(Kind kind, QString text);

    Kind m_kind;
    QString m_text;
    std::string m_utf8;
};
