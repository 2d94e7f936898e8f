#pragma once

#include <QObject>
#include <QString>
#include <filesystem>

class QLocalServer;

namespace corvid::gui {

// One running window per station folder. The first instance listens on a local socket named after
// the folder; a later start finds it there, asks it to come to the front and ends.
class SingleInstance : public QObject {
    Q_OBJECT

  public:
    explicit SingleInstance(const std::filesystem::path& home, QObject* parent = nullptr);

    // The socket name of a station folder: the same for every spelling of the folder.
    static QString keyFor(const std::filesystem::path& home);

    // True when another instance serves this folder; it has been asked to come to the front.
    bool askRunningInstance();
    // Becomes the instance of the folder. False (with 'error' set) when the name cannot be taken.
    bool listen(QString& error);

  Q_SIGNALS:
    // A later start asked this instance to show its window.
    void frontRequested();

  private:
    QString key_;
    QLocalServer* server_ = nullptr;
};

}  // namespace corvid::gui
