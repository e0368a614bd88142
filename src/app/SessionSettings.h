#pragma once

#include <QTemporaryDir>

// Vantel keeps no settings, but Qt's file dialogs keep a folder history
// through QSettings all the same. While one of these lives, every QSettings
// of the process that a user would own reads and writes a private folder of
// its own instead of the user's configuration folder: the history lasts the
// session, and the folder goes with the process.
class SessionSettings final
{
public:
    SessionSettings();
    ~SessionSettings();

    SessionSettings(const SessionSettings&) = delete;
    SessionSettings& operator=(const SessionSettings&) = delete;

    QString folder() const { return m_folder.path(); }

private:
    QTemporaryDir m_folder;
};
