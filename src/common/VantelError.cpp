#include "VantelError.h"

#include <QCoreApplication>

VantelError::VantelError(Kind kind, QString text)
    : m_kind(kind), m_text(std::move(text)), m_utf8(m_text.toStdString())
{
}

VantelError VantelError::failed(const QString& text)
{
    return VantelError(Kind::failed, text);
}

VantelError VantelError::noSubject()
{
    return VantelError(Kind::noSubject, QCoreApplication::translate(
                                            "Vantel", "No subject was found in this image."));
}

VantelError VantelError::loadFailed()
{
    return VantelError(Kind::loadFailed,
                       QCoreApplication::translate("Vantel", "Couldn't read that image."));
}

VantelError VantelError::platform(const QString& text)
{
    return VantelError(Kind::platform, text);
}

QString VantelError::errorDescription() const
{
    return m_text;
}
