#include "SessionSettings.h"

#include <QDir>
#include <QSettings>

namespace {

void pointUserSettingsAt(const QString& folder)
{
    for (QSettings::Format format : {QSettings::NativeFormat, QSettings::IniFormat})
        QSettings::setPath(format, QSettings::UserScope, folder);
}

} // namespace

SessionSettings::SessionSettings()
    : m_folder(QDir::tempPath() + QStringLiteral("/vantel-settings-XXXXXX"))
{
    // Without a private folder, a folder nobody can create (QSettings would
    // make the one it is given) keeps the user's own out of reach.
    pointUserSettingsAt(m_folder.isValid() ? m_folder.path()
                                           : QStringLiteral("/proc/self/nonexistent"));
}

SessionSettings::~SessionSettings()
{
    // Settings made after this point (none are expected) still stay away
    // from the user's folder.
    pointUserSettingsAt(QStringLiteral("/proc/self/nonexistent"));
}
