#pragma once

#include <QObject>
#include <QString>
#include <filesystem>
#include <memory>

#include "platform/file_lock.h"

class QLocalServer;

namespace corvid::gui {

// One running window per station folder. Which start is the instance is decided by an exclusive
// lock on a file in the folder, which the system drops however the holder ends, so two starts at
// once never both win and a crashed one leaves nothing in the way. The instance listens on a local
// socket named after the folder; a later start asks it there to come to the front and ends.
class SingleInstance : public QObject {
    Q_OBJECT

  public:
    explicit SingleInstance(const std::filesystem::path& home, QObject* parent = nullptr);

    // The socket name of a station folder: the same for every spelling of the folder.
    static QString keyFor(const std::filesystem::path& home);

    // The lock file in a station folder.
    static std::filesystem::path lockFileOf(const std::filesystem::path& home);

    // Takes the folder's lock: true when this start is the folder's instance, false when another
    // holds it. Throws FileLockError when the lock file cannot be made or locked.
    bool lock();
    // Asks the instance to come to the front, for a few seconds while it may still be starting.
    // False when none answered.
    bool askRunningInstance();
    // Listens for later starts; only the instance (after lock()) does, and takes over a name
    // left behind by one that ended without cleaning up. False (with 'error' set) when the name
    // cannot be taken.
    bool listen(QString& error);

  Q_SIGNALS:
    // A later start asked this instance to show its window.
    void frontRequested();

  private:
    std::filesystem::path home_;
    QString key_;
    std::unique_ptr<FileLock> lock_;
    QLocalServer* server_ = nullptr;
};

}  // namespace corvid::gui
