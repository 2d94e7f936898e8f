#include "gui/single_instance.h"

#include <QCryptographicHash>
#include <QLocalServer>
#include <QLocalSocket>
#include <system_error>

namespace corvid::gui {

namespace {
constexpr int kConnectMs = 500;
constexpr char kFrontRequest[] = "front\n";
}  // namespace

SingleInstance::SingleInstance(const std::filesystem::path& home, QObject* parent)
    : QObject(parent), key_(keyFor(home)) {}

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
    QLocalSocket socket;
    socket.connectToServer(key_);
    if (!socket.waitForConnected(kConnectMs)) {
        return false;
    }
    socket.write(kFrontRequest);
    socket.waitForBytesWritten(kConnectMs);
    socket.disconnectFromServer();
    return true;
}

bool SingleInstance::listen(QString& error) {
    server_ = new QLocalServer(this);
    if (!server_->listen(key_)) {
        // A socket left behind by an instance that ended without cleaning up answers nobody
        // (askRunningInstance came first); take its name over.
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
