#include "ui/InstanceServer.h"

#include <unistd.h>

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QMetaObject>
#include <memory>
#include <utility>

namespace bw {

namespace {

constexpr char kOpen[] = "open ";
constexpr qsizetype kOpenSize = sizeof(kOpen) - 1;
constexpr char kRaise[] = "raise\n";
constexpr char kOpened[] = "opened\n";
constexpr char kRefused[] = "refused\n";
constexpr char kFailed[] = "failed ";
constexpr qsizetype kFailedSize = sizeof(kFailed) - 1;
constexpr char kRaised[] = "raised\n";
// An instance that accepts connections answers at once; a socket file
// nobody accepts on fails at once too. The wait covers a loaded machine.
constexpr int kConnectTimeoutMs = 2000;
constexpr qsizetype kMaxAnswerBytes = 4096;

}  // namespace

InstanceServer::InstanceServer(QObject* parent) : QObject(parent) {
    connect(&server_, &QLocalServer::newConnection, this, &InstanceServer::acceptConnections);
}

InstanceServer::~InstanceServer() = default;

QString InstanceServer::socketName() {
    const QString name = QStringLiteral("beamwright-%1").arg(::getuid());
    const QString runtimeDir = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (runtimeDir.isEmpty()) return name;
    return QDir(runtimeDir).filePath(name);
}

InstanceServer::ListenResult InstanceServer::listen(const QString& name) {
    // No socket options: with them Qt binds elsewhere and renames the socket
    // into place, which would take the name from a live instance.
    if (!server_.listen(name)) {
        if (server_.serverError() != QAbstractSocket::AddressInUseError) {
            return ListenResult::Failed;
        }
        QLocalSocket probe;
        probe.connectToServer(name);
        if (probe.waitForConnected(kConnectTimeoutMs)) return ListenResult::OtherInstance;
        QLocalServer::removeServer(name);
        if (!server_.listen(name)) return ListenResult::Failed;
    }
    // Outside XDG_RUNTIME_DIR (a private folder) the socket sits in a shared
    // one: only this user may connect.
    QFile::setPermissions(server_.fullServerName(), QFile::ReadOwner | QFile::WriteOwner);
    return ListenResult::Listening;
}

void InstanceServer::setHandlers(Handlers handlers) {
    handlers_ = std::move(handlers);
    handlePending();
}

QByteArray InstanceServer::openRequest(const QString& path) {
    const QByteArray absolute = QFile::encodeName(QFileInfo(path).absoluteFilePath());
    if (absolute.contains('\n')) return {};
    return kOpen + absolute + '\n';
}

QByteArray InstanceServer::raiseRequest() {
    return kRaise;
}

InstanceServer::Answer InstanceServer::forward(const QString& name, const QByteArray& request,
                                               std::chrono::milliseconds timeout, QString* reason) {
    QLocalSocket socket;
    socket.connectToServer(name);
    if (!socket.waitForConnected(kConnectTimeoutMs)) return Answer::NoInstance;
    if (request.isEmpty()) return Answer::Refused;
    const QDeadlineTimer deadline(timeout);
    socket.write(request);
    while (!socket.canReadLine() && socket.bytesAvailable() < kMaxAnswerBytes) {
        const auto left = deadline.remainingTime();
        if (left == 0 || !socket.waitForReadyRead(static_cast<int>(left))) break;
    }
    if (!socket.canReadLine()) return Answer::NoAnswer;
    const QByteArray line = socket.readLine(kMaxAnswerBytes);
    if (line == kOpened) return Answer::Opened;
    if (line == kRefused) return Answer::Refused;
    if (line == kRaised) return Answer::Raised;
    if (line.startsWith(kFailed) && line.endsWith('\n')) {
        if (reason != nullptr) {
            *reason = QString::fromUtf8(line.sliced(kFailedSize, line.size() - kFailedSize - 1));
        }
        return Answer::Failed;
    }
    return Answer::NoAnswer;
}

void InstanceServer::acceptConnections() {
    while (QLocalSocket* socket = server_.nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { readRequest(socket); });
        readRequest(socket);
    }
}

void InstanceServer::readRequest(QLocalSocket* socket) {
    QByteArray line;
    if (socket->canReadLine()) {
        line = socket->readLine(kMaxRequestBytes + 1);
    } else if (socket->bytesAvailable() > kMaxRequestBytes) {
        line = socket->read(kMaxRequestBytes + 1);
    } else {
        return;
    }
    // One request a connection: whatever follows it is not read.
    disconnect(socket, &QLocalSocket::readyRead, this, nullptr);
    pending_.push_back({socket, std::move(line)});
    handlePending();
}

void InstanceServer::handlePending() {
    if (handling_ || !handlers_.open || !handlers_.raise || pending_.empty()) return;
    Request request = std::move(pending_.front());
    pending_.pop_front();
    handling_ = true;
    handle(std::move(request));
}

void InstanceServer::handle(Request request) {
    const QByteArray& line = request.line;
    if (line == kRaise) {
        handlers_.raise();
        finish(request, kRaised);
        return;
    }
    if (line.startsWith(kOpen) && line.endsWith('\n')) {
        const QByteArray path = line.sliced(kOpenSize, line.size() - kOpenSize - 1);
        if (path.startsWith('/') && !path.contains('\0')) {
            // Answered once, whenever the handler says the open has ended.
            auto answered = std::make_shared<bool>(false);
            handlers_.open(QFile::decodeName(path),
                           [self = QPointer<InstanceServer>(this), request, answered](
                               Opening opening, const QString& reason) {
                               if (!self || std::exchange(*answered, true)) return;
                               switch (opening) {
                                   case Opening::Opened:
                                       self->finish(request, kOpened);
                                       return;
                                   case Opening::Refused:
                                       self->finish(request, kRefused);
                                       return;
                                   case Opening::Failed: {
                                       // One line, whatever the reason holds.
                                       QByteArray why = reason.toUtf8().left(kMaxAnswerBytes / 2);
                                       why.replace('\n', ' ');
                                       self->finish(request, kFailed + why + '\n');
                                       return;
                                   }
                               }
                           });
            return;
        }
    }
    finish(request, kRefused);
}

void InstanceServer::finish(const Request& request, const QByteArray& answer) {
    // The sender may have given up while the operator was asked.
    if (request.socket) reply(request.socket, answer);
    handling_ = false;
    // The next request starts from the event loop, not inside the handler
    // that answered this one.
    QMetaObject::invokeMethod(
        this, [this] { handlePending(); }, Qt::QueuedConnection);
}

void InstanceServer::reply(QLocalSocket* socket, const QByteArray& answer) {
    socket->write(answer);
    // Closes once the answer is written; the socket then deletes itself.
    socket->disconnectFromServer();
}

}  // namespace bw
