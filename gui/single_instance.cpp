#include "gui/single_instance.h"

#include <QCryptographicHash>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>
#include <chrono>
#include <system_error>

namespace corvid::gui {

namespace {
constexpr int kConnectMs = 500;
// How long a later start waits for an instance that holds the lock but may not listen yet.
constexpr auto kStartingInstanceWait = std::chrono::seconds(10);
constexpr char kFrontRequest[] = "front\n";
}  // namespace

SingleInstance::SingleInstance(const std::filesystem::path& home, QObject* parent)
    : QObject(parent), home_(home), key_(keyFor(home)) {}

std::filesystem::path SingleInstance::lockFileOf(const std::filesystem::path& home) {
    return home / "corvid.lock";
}

bool SingleInstance::lock() {
    lock_ = FileLock::tryAcquire(lockFileOf(home_), " of the station folder's window");
    return lock_ != nullptr;
}

QString SingleInstance::keyFor(const std::filesystem::path& home) {
    std::error_code error;
    std::filesystem::path folder = std::filesystem::weakly_canonical(home, error);
    if (error) {
        folder = std::filesystem::absolute(home);
    }
    const QByteArray digest = QCryptographicHash::hash(
        QByteArray::fromStdString(folder.lexically_normal().string()), QCryptographicHash::Sha256);
    // Socket names are short on some systems; a digest of the folder fits and never collides in
    // practice.
    return QStringLiteral("corvid-station-") + QString::fromLatin1(digest.toHex().left(24));
}

bool SingleInstance::askRunningInstance() {
    const auto until = std::chrono::steady_clock::now() + kStartingInstanceWait;
    do {
        QLocalSocket socket;
        socket.connectToServer(key_);
        if (socket.waitForConnected(kConnectMs)) {
            socket.write(kFrontRequest);
            socket.waitForBytesWritten(kConnectMs);
            socket.disconnectFromServer();
            return true;
        }
        QThread::msleep(100);
    } while (std::chrono::steady_clock::now() < until);
    return false;
}

bool SingleInstance::listen(QString& error) {
    if (lock_ == nullptr) {
        error = QStringLiteral("this start does not hold the station folder's lock");
        return false;
    }
    server_ = new QLocalServer(this);
    if (!server_->listen(key_)) {
        // The lock says no other instance lives: the name was left by one that ended without
        // cleaning up.
        QLocalServer::removeServer(key_);
        if (!server_->listen(key_)) {
            error = server_->errorString();
            return false;
        }
    }
    connect(server_, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = server_->nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            Q_EMIT frontRequested();
        }
    });
    return true;
}

}  // namespace corvid::gui
